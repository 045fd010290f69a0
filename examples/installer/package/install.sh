#!/bin/sh
# Runs after the archive has unpacked the package into the current directory. The archive puts
# its feature items into the environment: PACKAGE and VERSION (from -F), QK_VENDOR (from -O),
# NAME (the packed file). The prefix comes from the user's environment.
set -e
prefix=${INSTALL_PREFIX:-$HOME/.local}
echo "installing $PACKAGE $VERSION from $QK_VENDOR ($NAME) into $prefix"
mkdir -p "$prefix/bin" "$prefix/share/doc/$PACKAGE"
cp bin/hello "$prefix/bin/hello"
chmod 755 "$prefix/bin/hello"
cp "share/doc/$PACKAGE/README" "$prefix/share/doc/$PACKAGE/README"
echo "installed: $prefix/bin/hello"
