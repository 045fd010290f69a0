#!/bin/sh
# Runs the README's tour in WORKDIR: packs the example package into a self-extracting installer,
# lists it, runs it and takes its payload out again, printing each command and what it prints.
# The commands are the README's, word for word, so the output can be set beside it.
#
#   examples/installer/build.sh [VARDO] [WORKDIR]
set -e
examples=$(cd "$(dirname "$0")/.." && pwd)
vardo=$(cd "$(dirname "${1:-build/vardo}")" && pwd)/$(basename "${1:-build/vardo}")
work=${2:-$(mktemp -d)}
mkdir -p "$work/build"
cd "$work"
# The layout the tour expects of the project root: examples/ and build/vardo.
ln -sfn "$examples" examples
ln -sf "$vardo" build/vardo
rm -rf tour

step() {
  printf '\n$ %s\n' "$1"
  eval "$1"
}

step 'export PATH="$PWD/build:$PATH"'
step 'mkdir -p tour && cd tour'
step 'tar --sort=name --mtime=@0 --owner=0 --group=0 --numeric-owner --mode=go-w -cf hello-1.0.tar -C ../examples/installer/package install.sh bin share'
step "vardo -C 'hello 1.0 from the vardo example' -f 'tar xf -' -r 'sh ./install.sh' -O 'Example Vendor' -F 'PACKAGE=hello,VERSION=1.0' hello-1.0.tar > hello-1.0.run"
step 'chmod +x hello-1.0.run'
step './hello-1.0.run -l'
step './hello-1.0.run -l -v | tail -n 3'
step 'mkdir -p unpack && cd unpack'
step 'INSTALL_PREFIX=../prefix ../hello-1.0.run'
step 'cd .. && prefix/bin/hello'
step 'vardo -u -x ./hello-1.0.run > payload.tar'
step 'cmp payload.tar hello-1.0.tar'
echo "the payload is the package, byte for byte"
