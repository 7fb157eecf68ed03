// Entry of quorvanectl, the operator's command-line tool.
#include "ctl/CtlApp.h"

int main(int argc, char** argv) {
    return quorvane::ctl::run(argc, argv);
}
