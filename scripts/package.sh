#!/usr/bin/env bash
# Builds the Debian package with Debian's own tools (debian/: debhelper and dpkg-buildpackage) into
# build-package/ (or OUTPUT_DIR): zorvik-hollin_<version>_<arch>.deb and its debugging symbols,
# zorvik-hollin-dbgsym_<version>_<arch>.deb. The build runs the programs' own tests that need no root
# (debian/rules); then lintian checks the package (no error, no warning, informational and pedantic
# tags shown), and scripts/package-check.sh tries it in a throw-away root.
#
#   scripts/package.sh [OUTPUT_DIR]
#
# ZH_PACKAGE_CHECK=0 skips the throw-away root; DEB_BUILD_OPTIONS=nocheck skips the build-time tests
# (and does not build them). The sources are copied first (what git tracks, and new files it does not
# ignore), so the build writes nothing into the work tree. ccache is used where it is installed.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
out="${1:-$top/build-package}"
mkdir -p "$out"
out="$(cd "$out" && pwd)"
"$top/scripts/install-deps.sh"

version="$(dpkg-parsechangelog -l "$top/debian/changelog" -S Version)"
arch="$(dpkg-architecture -q DEB_HOST_ARCH)"
src="$out/source/zorvik-hollin-$version"

# The sources. The copy's path stays the same from one build to the next, so that ccache finds what it
# compiled before.
rm -rf "$out/source/zorvik-hollin-"*
mkdir -p "$src"
if git -C "$top" rev-parse --git-dir >/dev/null 2>&1; then
  (cd "$top" && git ls-files -z --cached --others --exclude-standard) |
    while IFS= read -r -d '' f; do [ -e "$top/$f" ] && printf '%s\0' "$f"; done |
    tar -C "$top" --null -T - -cf - | tar -C "$src" -xf -
else
  tar -C "$top" --exclude='./build*' --exclude=./.git -cf - . | tar -C "$src" -xf -
fi

rm -f "$out"/zorvik-hollin*_"$version"_*.deb
started=$SECONDS
echo "package: dpkg-buildpackage in $src (log: $out/build.log)"
# ccache through its compiler names. debhelper gives the build a HOME of its own, where ccache would
# look for (and start) an empty cache: it is told where the machine's cache is. Paths below the copy
# are hashed relative to it, so another copy of the sources (another clone) finds the same objects.
cache=(env)
if [ -d /usr/lib/ccache ] && command -v ccache >/dev/null; then
  cache=(env PATH="/usr/lib/ccache:$PATH" CCACHE_DIR="$(ccache -k cache_dir)"
         CCACHE_MAXSIZE="$(ccache -k max_size)" CCACHE_BASEDIR="$src")
fi
if ! (cd "$src" && "${cache[@]}" dpkg-buildpackage --build=binary --no-sign -j"$(nproc)" \
        >"$out/build.log" 2>&1); then
  tail -n 40 "$out/build.log" >&2
  echo "package: dpkg-buildpackage failed (the whole log: $out/build.log)" >&2
  exit 1
fi
mv "$out/source/"zorvik-hollin*_"$version"_"$arch".deb "$out/"
deb="$out/zorvik-hollin_${version}_$arch.deb"
dbgsym="$out/zorvik-hollin-dbgsym_${version}_$arch.deb"
echo "package: built in $((SECONDS - started)) s"
# Debian's flags (_FORTIFY_SOURCE above all) warn where the project's own build does not: none either.
if grep -E '^[^ ]+:[0-9]+:[0-9]+: warning: ' "$out/build.log"; then
  echo "package: the compiler warned (above)" >&2
  exit 1
fi
# The first-start marker is postinst's to plant on a first installation: shipped, every upgrade would
# bring it back.
if dpkg-deb -c "$deb" | grep 'instal\.txt$'; then
  echo "package: the package ships the first-start marker" >&2
  exit 1
fi
sed -n '/^run-tests: /,$p' "$out/build.log" | grep -E '^(run-tests|[0-9]+% tests| +[0-9]+ )' || true
echo "$deb"
echo "$dbgsym"

# Debian's checker, with its informational and pedantic tags: the ones that remain are explained in
# docs/install.md ("What lintian says").
status=0
lintian --info --pedantic --display-experimental --fail-on error,warning "$deb" "$dbgsym" \
  >"$out/lintian.log" 2>&1 || status=$?
grep -v '^running with root privileges' "$out/lintian.log" || true
if [ "$status" != 0 ]; then
  echo "package: lintian found errors or warnings (above)" >&2
  exit 1
fi
count() { grep -c "^$1:" "$out/lintian.log" || true; }
echo "package: lintian: $(count E) errors, $(count W) warnings, $(count I) informational," \
  "$(count P) pedantic, $(count X) experimental tags"

if [ "${ZH_PACKAGE_CHECK:-1}" != 0 ]; then
  "$top/scripts/package-check.sh" "$deb"
fi
