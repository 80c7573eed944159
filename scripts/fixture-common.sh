# What the fixture scripts share (sourced by them, not run): the start of a fixture script.
#
#   fixture_begin NAME "$@"   with the script's arguments and its packages in the array packages:
#     --inside DIR COMMAND...  runs inside DIR COMMAND... (the script's own function) and exits;
#     DIR COMMAND...           sets dir (absolute) and args (COMMAND...) and installs the missing
#                              packages (as root).

fixture_begin() {
    local name=$1
    shift
    if [ "${1:-}" = "--inside" ]; then
        shift
        inside "$@"
        exit $?
    fi
    if [ $# -lt 2 ]; then
        echo "usage: $name.sh DIR COMMAND [ARGS...]" >&2
        exit 2
    fi
    dir=$(realpath -m "$1")
    shift
    args=("$@")
    local missing=() package
    for package in "${packages[@]}"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$package")
        fi
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "$name: installing ${missing[*]}" >&2
        apt-get update -qq >/dev/null
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
            "${missing[@]}" >/dev/null
    fi
}
