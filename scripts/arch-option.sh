# The --arch option of the wheel scripts, sourced with their arguments after
# they set $usage:
#   . scripts/arch-option.sh "$@"
#   shift "$arch_words"
# Sets arch to the machine after --arch (x86_64 without the option) and
# arch_words to the number of arguments the option took; for any other machine
# calls usage_error, which prints $usage and exits with status 2.
usage_error() {
    echo "$usage" >&2
    exit 2
}
arch=x86_64
arch_words=0
if [ "${1:-}" = --arch ]; then
    arch="${2:-}"
    arch_words=2
fi
[[ "$arch" == @(x86_64|aarch64) ]] || usage_error
