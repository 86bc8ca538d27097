# bash completion for korvel-recorder: the commands, then each command's own options.

_korvel_recorder()
{
    local current=${COMP_WORDS[COMP_CWORD]}
    local previous=${COMP_WORDS[COMP_CWORD - 1]}
    if ((COMP_CWORD == 1)); then
        COMPREPLY=($(compgen -W 'record play info convert cut serve ctl --help --version' -- "$current"))
        return
    fi

    local options
    case ${COMP_WORDS[1]} in
    record)
        options='--port --output --count --duration --json --listen --join --allow --pre --trigger --post
            --split-size --split-duration --keep --help'
        ;;
    play)
        options='--dest --rate --pace --speed --loop --from --until --from-marker --until-marker --renumber --json
            --realtime --max-late-us --max-rate-error-ppm --drop --duplicate --reorder --delay --seed
            --lockstep --ack-timeout --topspeed --ttl --interface --multicast-loop --help'
        ;;
    info) options='--json --help' ;;
    convert) options='--port --dest --rate --help' ;;
    cut) options='--from --until --from-marker --until-marker --json --help' ;;
    serve) options='--listen --token-file --allow-origin --port --pre --dest --rate --pace --loop --help' ;;
    ctl) options='--url --token-file --help' ;;
    *) return ;;
    esac

    case $previous in
    --pace)
        COMPREPLY=($(compgen -W 'first-two every' -- "$current"))
        return
        ;;
    --multicast-loop)
        COMPREPLY=($(compgen -W 'on off' -- "$current"))
        return
        ;;
    --interface)
        COMPREPLY=($(compgen -W "$(ls /sys/class/net 2>/dev/null)" -- "$current"))
        return
        ;;
    --port | --count | --duration | --dest | --rate | --speed | --from | --until | --from-marker | --until-marker | \
        --max-late-us | --max-rate-error-ppm | --drop | --duplicate | --reorder | --delay | --seed | --ack-timeout | \
        --ttl | --listen | --join | --allow | --url | --allow-origin)
        return # a number, a host or a label: nothing to offer
        ;;
    esac
    if [[ $current == -* ]]; then
        COMPREPLY=($(compgen -W "$options" -- "$current"))
    else
        COMPREPLY=($(compgen -f -- "$current"))
    fi
}
complete -o filenames -F _korvel_recorder korvel-recorder
