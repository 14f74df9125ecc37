# bash completion for pxc
_pxc() {
    local cur prev words cword
    if declare -F _init_completion >/dev/null; then
        _init_completion || return
    else
        cur=${COMP_WORDS[COMP_CWORD]}
        prev=${COMP_WORDS[COMP_CWORD-1]}
        words=("${COMP_WORDS[@]}")
        cword=$COMP_CWORD
    fi
    local commands="info probe verify decode encode scan extract"
    local common="-q --quiet -v --verbose -h --help"
    if [ "$cword" -eq 1 ]; then
        mapfile -t COMPREPLY < <(compgen -W "$commands --help --version" -- "$cur")
        return
    fi
    local command=${words[1]} options
    case $command in
    info) options="--fast --json -r --recursive --offset --max-pixels -j --jobs --no-progress" ;;
    probe) options="--json -r --recursive" ;;
    verify) options="--json -r --recursive --offset --max-pixels -j --jobs --no-progress" ;;
    decode) options="-o --output --out-dir --format -f --force --skip-existing -r --recursive --name --suffix
                     --offset --strict --max-pixels -j --jobs --no-progress" ;;
    encode) options="-o --output --out-dir -f --force --skip-existing -r --recursive --name --suffix
                     --max-pixels -e --effort -1 -2 -3 -4 -5 -6 -7 -8 -9 -j --jobs --no-progress" ;;
    scan) options="--json -r --recursive --max-pixels --no-progress" ;;
    extract) options="--out-dir --format --name --suffix -f --force --skip-existing --all --strict -r --recursive
                      --max-pixels --no-progress" ;;
    *) return ;;
    esac
    case $prev in
    --format)
        mapfile -t COMPREPLY < <(compgen -W "png bmp" -- "$cur")
        return
        ;;
    --out-dir)
        mapfile -t COMPREPLY < <(compgen -d -- "$cur")
        return
        ;;
    --offset | --max-pixels | -j | --jobs | -e | --effort | --name | --suffix)
        return
        ;;
    -o | --output)
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
        return
        ;;
    esac
    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$options $common" -- "$cur")
        return
    fi
    mapfile -t COMPREPLY < <(compgen -f -- "$cur")
}
complete -o filenames -F _pxc pxc
