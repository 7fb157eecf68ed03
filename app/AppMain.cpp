// Entry of the operator app program `quorvane`. The arguments are looked at
// before anything else so that the headless run needs no display.

#include <cstdio>

#include "app/RegistrationController.h"

int main(int argc, char** argv) {
    if (quorvane::RegistrationController::wantsHeadlessRun(argc, argv)) {
        return quorvane::RegistrationController::runHeadless();
    }
    std::fputs(
        "quorvane: the windowed app is not part of this build; only --register-and-exit is available\n",
        stderr);
    return 1;
}
