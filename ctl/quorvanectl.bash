# bash completion for quorvanectl                           -*- shell-script -*-

_quorvanectl() {
    local cur prev words cword
    _init_completion || return

    local commands="status accounts history credit debit note edit delete-entry rename delete-account
        settings connections activity export backup"

    # The command is the first word that is not an option.
    local command="" i
    for ((i = 1; i < cword; i++)); do
        if [[ ${words[i]} != -* ]]; then
            command=${words[i]}
            break
        fi
    done

    if [[ -z $command ]]; then
        if [[ $cur == -* ]]; then
            COMPREPLY=($(compgen -W "--help --version --register-and-exit" -- "$cur"))
        else
            COMPREPLY=($(compgen -W "$commands" -- "$cur"))
        fi
        return
    fi

    case $prev in
    --format)
        COMPREPLY=($(compgen -W "json csv" -- "$cur"))
        return
        ;;
    --unauthenticated)
        COMPREPLY=($(compgen -W "on off" -- "$cur"))
        return
        ;;
    --type)
        COMPREPLY=($(compgen -W "credit bonus debit penalty note" -- "$cur"))
        return
        ;;
    --output | -o)
        _filedir
        return
        ;;
    --limit | --before | --starting-points | --memo | --amount)
        return
        ;;
    esac

    local options=""
    case $command in
    status) options="--start --json" ;;
    accounts | connections) options="--json" ;;
    history) options="--limit --before --json" ;;
    credit) options="--memo --bonus" ;;
    debit) options="--memo --penalty" ;;
    edit) options="--type --amount --memo" ;;
    delete-account) options="--yes" ;;
    settings) options="--unauthenticated --starting-points --json" ;;
    activity) options="--follow --json" ;;
    export) options="--format --output" ;;
    backup)
        options="--force"
        if [[ $cur != -* ]]; then
            _filedir
            return
        fi
        ;;
    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$options --help" -- "$cur"))
    fi
} && complete -F _quorvanectl quorvanectl
