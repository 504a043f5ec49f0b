#!/usr/bin/env bash
# Installs what the build needs on Debian 12. Usage: scripts/setup.sh [base] [windows] [fuzz]
# As root it installs the missing packages; otherwise it prints the command to run.
set -euo pipefail

want_i386=0
packages=()
for part in "${@:-base}"; do
    case "$part" in
    base) packages+=(cmake ninja-build g++ make googletest libgtest-dev libgmock-dev) ;;
    windows)
        want_i386=1
        packages+=(g++-mingw-w64-i686-posix binutils-mingw-w64-i686 wine wine32:i386 xvfb
            xdotool imagemagick x11-utils xauth python3) ;;
    fuzz) packages+=(clang libclang-rt-14-dev) ;;
    *) echo "setup.sh: unknown part '$part' (base, windows, fuzz)" >&2; exit 2 ;;
    esac
done

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
needs_i386=0
if [ "$want_i386" = 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    needs_i386=1
fi
[ "${#missing[@]}" -eq 0 ] && [ "$needs_i386" = 0 ] && exit 0

command=""
[ "$needs_i386" = 1 ] && command="dpkg --add-architecture i386 && "
command+="apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends ${missing[*]}"
if [ "$(id -u)" != 0 ]; then
    echo "Missing packages: ${missing[*]}" >&2
    echo "Run as root, then run make again:" >&2
    echo "  $command" >&2
    exit 1
fi
echo "Installing: ${missing[*]}"
bash -c "$command" >/tmp/kestrel-setup.log 2>&1 || { tail -n 30 /tmp/kestrel-setup.log >&2; exit 1; }
