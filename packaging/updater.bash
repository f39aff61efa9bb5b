# bash completion for updater
#
# The options are listed once, in _updater_options; the options that take a value in
# _updater_value_options. A new option is added there (and in the case below when its values
# can be completed).

_updater_options="-B -C -D -G -I -N -U -OVERRIDE -h -H --help -b -d -e -f -k -l -m -o -r -s -t -u -X -V -w -j --json"
_updater_value_options="-b -d -f -k -l -m -o -r -s -t -u -X -w -j"

# The serial numbers of the devices in the user's store: the directories of 8 hexadecimal
# digits under ~/.vantorix/updater of the home directory from the password database (as the
# program takes it), else $HOME.
_updater_store_serials()
{
    local home entry name
    home=$(getent passwd "$(id -un 2>/dev/null)" 2>/dev/null | cut -d: -f6)
    [ -n "$home" ] || home=$HOME
    for entry in "$home"/.vantorix/updater/*/; do
        [ -d "$entry" ] || continue
        name=${entry%/}
        name=${name##*/}
        [[ $name =~ ^[0-9A-Fa-f]{8}$ ]] && printf '%s\n' "$name"
    done
}

_updater()
{
    local cur prev
    COMPREPLY=()
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=""
    [ "$COMP_CWORD" -gt 0 ] && prev=${COMP_WORDS[COMP_CWORD - 1]}

    case $prev in
    -t)
        mapfile -t COMPREPLY < <(compgen -W "USB TCPIP RECOVER" -- "$cur")
        return 0
        ;;
    -d | -r)
        mapfile -t COMPREPLY < <(compgen -W "$(_updater_store_serials)" -- "$cur")
        return 0
        ;;
    -s)
        local ports
        ports=$(compgen -G '/dev/ttyUSB*'; compgen -G '/dev/ttyACM*'; compgen -G '/dev/ttyS*')
        mapfile -t COMPREPLY < <(compgen -W "$ports USB" -- "$cur")
        return 0
        ;;
    -o)
        mapfile -t COMPREPLY < <(compgen -W "2400 4800 9600 19200 38400 57600 115200 230400" -- "$cur")
        return 0
        ;;
    -f)
        compopt -o filenames 2>/dev/null
        mapfile -t COMPREPLY < <(compgen -d -- "$cur"; compgen -f -X '!*.bird' -- "$cur")
        return 0
        ;;
    -k)
        compopt -o filenames 2>/dev/null
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
        return 0
        ;;
    esac
    local option
    for option in $_updater_value_options; do
        [ "$prev" = "$option" ] && return 0
    done

    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$_updater_options" -- "$cur")
    fi
    return 0
}

complete -F _updater updater
