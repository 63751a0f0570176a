# The body of a file manager's script for one layout: starts the program once for each
# selected archive, all at once, and waits for them. The lines before it set $exe (the
# program) and $layout (1, 4, 6 or 9). Arguments: the selected files as paths or file://
# URIs; none from a remote folder, where the file manager's list of local paths (one per
# line) stands in.

# Without arguments (a remote folder) take the file manager's list of local paths,
# one per line.
if [ $# -eq 0 ]; then
    list=${NAUTILUS_SCRIPT_SELECTED_FILE_PATHS:-${CAJA_SCRIPT_SELECTED_FILE_PATHS:-${NEMO_SCRIPT_SELECTED_FILE_PATHS:-}}}
    set -f
    saved_ifs=$IFS
    IFS='
'
    set -- $list
    IFS=$saved_ifs
    set +f
fi

# Sets $path to the local path of a file:// URI: every %XX becomes its byte.
uri_to_path() {
    rest=${1#file://}
    case $rest in
        /*) ;;
        *) rest=/${rest#*/} ;;
    esac
    escaped=
    while [ -n "$rest" ]; do
        case $rest in
            %[0-9A-Fa-f][0-9A-Fa-f]*)
                hex=${rest#%}
                hex=${hex%"${hex#??}"}
                byte=$((0x$hex))
                escaped="$escaped\\0$((byte / 64))$((byte / 8 % 8))$((byte % 8))"
                rest=${rest#%??}
                ;;
            *)
                char=${rest%"${rest#?}"}
                [ "$char" = '\' ] && char='\\'
                escaped=$escaped$char
                rest=${rest#?}
                ;;
        esac
    done
    path=$(printf '%bx' "$escaped")
    path=${path%x}
}

for arg in "$@"; do
    case $arg in
        file://*) uri_to_path "$arg" ;;
        /*) path=$arg ;;
        *) path=$PWD/$arg ;;
    esac
    "$exe" "$path" "$layout" </dev/null &
done
wait
