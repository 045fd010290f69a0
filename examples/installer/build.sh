#!/bin/sh
# Builds the example package into a self-extracting installer, lists it, and runs it into a
# temporary directory, printing each step.
#
#   examples/installer/build.sh [VARDO] [WORKDIR]
set -e
here=$(cd "$(dirname "$0")" && pwd)
vardo=$(cd "$(dirname "${1:-build/vardo}")" && pwd)/$(basename "${1:-build/vardo}")
work=${2:-$(mktemp -d)}
mkdir -p "$work"
work=$(cd "$work" && pwd)
cd "$work"

step() { printf '\n$ %s\n' "$*"; "$@"; }

# The package: a tar of the files and the install script.
step tar --sort=name --mtime=@0 --owner=0 --group=0 --numeric-owner -cf hello-1.0.tar \
  -C "$here/package" install.sh bin share

cat <<'SHOW'

$ vardo -C 'hello 1.0 from the vardo example' -f 'tar xf -' -r 'sh ./install.sh' \
    -O 'Example Vendor' -F 'PACKAGE=hello,VERSION=1.0' hello-1.0.tar > hello-1.0.run
SHOW
"$vardo" -C 'hello 1.0 from the vardo example' -f 'tar xf -' -r 'sh ./install.sh' \
  -O 'Example Vendor' -F 'PACKAGE=hello,VERSION=1.0' hello-1.0.tar > hello-1.0.run
chmod +x hello-1.0.run
ls -l hello-1.0.tar hello-1.0.run | awk '{print $5, $9}'

step ./hello-1.0.run -l
step ./hello-1.0.run -l -v

mkdir -p unpack
cd unpack
printf '\n$ INSTALL_PREFIX=%s ../hello-1.0.run\n' "$work/prefix"
INSTALL_PREFIX="$work/prefix" ../hello-1.0.run
cd ..

printf '\n$ %s\n' "prefix/bin/hello"
"$work/prefix/bin/hello"
printf '\n$ vardo -u -x ./hello-1.0.run > payload.tar\n'
"$vardo" -u -x ./hello-1.0.run > payload.tar
step cmp payload.tar hello-1.0.tar
echo "the payload is the package, byte for byte"
