# bash completion for ipcctl: commands, options, setting names (from `ipcctl list`) and the
# words of ptz, preset and time.
_ipcctl() {
    local cur prev words cword
    _init_completion || return
    local commands="info list get set ptz preset time reboot ptz-reboot factory-default snapshot position distance record watch"
    local global="-u --user -p --password --tcp --timeout --json --help --version"
    local cmd="" i
    for ((i = 1; i < cword; i++)); do
        case " $commands " in *" ${words[i]} "*) cmd=${words[i]}; break ;; esac
    done
    case $prev in
        -u|--user|-p|--password|--tcp|--timeout|--seconds|--frames|-c|--count) return ;;
        -o|--output)
            if [[ $cmd == snapshot ]]; then _filedir -d; else _filedir; fi
            return ;;
    esac
    if [[ $cur == -* ]]; then
        local opts=$global
        case $cmd in
            get) opts+=" -c --count" ;;
            record) opts+=" -o --output --seconds --frames" ;;
            snapshot) opts+=" -o --output" ;;
            watch) opts+=" --seconds --video" ;;
            reboot|ptz-reboot|factory-default) opts+=" -y --yes" ;;
        esac
        COMPREPLY=($(compgen -W "$opts" -- "$cur"))
        return
    fi
    case $cmd in
        "") COMPREPLY=($(compgen -W "$commands" -- "$cur")) ;;
        get|set)
            if [[ $prev == "$cmd" ]]; then
                COMPREPLY=($(compgen -W "$("${words[0]}" list 2>/dev/null | awk '{print $1}')" -- "$cur"))
            elif [[ $cmd == set ]]; then
                _filedir json
            fi ;;
        ptz) [[ $prev == ptz ]] && COMPREPLY=($(compgen -W "up down left right zoom-in zoom-out stop position" -- "$cur")) ;;
        preset) [[ $prev == preset ]] && COMPREPLY=($(compgen -W "store goto clear" -- "$cur")) ;;
        time)
            if [[ $prev == time ]]; then COMPREPLY=($(compgen -W "set" -- "$cur"))
            elif [[ $prev == set ]]; then COMPREPLY=($(compgen -W "now" -- "$cur")); fi ;;
    esac
}
complete -F _ipcctl ipcctl
