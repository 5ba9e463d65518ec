#!/usr/bin/env bash
# Installs every Debian 12 package that the two builds and their tests need.
# Does nothing (apart from a quick dpkg query) when everything is present.
#
# A package mirror in the middle of a sync serves an index of the wrong
# size now and then ("File has unexpected size ... Mirror sync in
# progress?"), often for one architecture of one suite only. So the indexes
# are fetched again a few times with a pause; when that still fails, the
# packages are installed from the suites whose indexes are complete for
# every architecture (a suite with one architecture's index missing would
# offer amd64 and i386 packages of different versions, which cannot be
# installed together); and when that cannot work either, one plain message
# says what failed and what to do.
set -euo pipefail

PACKAGES=(
  g++-mingw-w64-i686-posix binutils-mingw-w64-i686
  wine wine32:i386 xvfb xauth imagemagick xdotool x11-apps
  fonts-liberation fonts-wine
  cmake ninja-build g++ clang libclang-rt-14-dev llvm
  googletest libgtest-dev
  libbenchmark-dev python3-can nsis
)
UPDATE_TRIES=${BOOTSTRAP_UPDATE_TRIES:-4}
UPDATE_PAUSE=${BOOTSTRAP_UPDATE_PAUSE:-20}   # seconds, doubled after every failed try

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "bootstrap: installing ${missing[*]}"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The package indexes, fetched again while they fail.
updated=0
pause=$UPDATE_PAUSE
for try in $(seq "$UPDATE_TRIES"); do
  if $SUDO apt-get update -qq > "$work/update.log" 2>&1; then
    updated=1
    break
  fi
  echo "bootstrap: apt-get update failed (try $try of $UPDATE_TRIES): $(grep -m1 '^E:' "$work/update.log" || tail -n 1 "$work/update.log")"
  [ "$try" -lt "$UPDATE_TRIES" ] && sleep "$pause"
  pause=$((pause * 2))
done

install() {
  $SUDO apt-get install -y -qq --no-install-recommends "$@" "${PACKAGES[@]}" > "$work/install.log" 2>&1
}

if install; then exit 0; fi

if [ "$updated" -eq 0 ]; then
  # Only the suites whose indexes are there for every architecture.
  read -r -a archs <<< "$(dpkg --print-architecture) $(dpkg --print-foreign-architectures | tr '\n' ' ')"
  # No list at all (apt cannot give one) leaves nothing to try: the plain message below.
  { apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT) $(ARCHITECTURE) $(TARGET_OF)' 2>/dev/null ||
      true; } | awk '$5 == "deb"' | sort -u > "$work/targets"
  mkdir -p "$work/parts"
  : > "$work/sources.list"
  while read -r repo release component; do
    complete=1
    for arch in "${archs[@]}"; do
      grep -Fqx "$repo $release $component $arch deb" "$work/targets" || complete=0
    done
    if [ "$complete" -eq 1 ]; then
      echo "deb $repo $release $component" >> "$work/sources.list"
    else
      echo "bootstrap: leaving out $repo $release $component (its index is missing for an architecture)"
    fi
  done < <(awk '{print $1, $2, $3}' "$work/targets" | sort -u)
  if [ -s "$work/sources.list" ] &&
     install -o Dir::Etc::SourceList="$work/sources.list" -o Dir::Etc::SourceParts="$work/parts"; then
    echo "bootstrap: installed from the complete package indexes present"
    exit 0
  fi
fi

echo "bootstrap: the packages could not be installed."
if [ "$updated" -eq 0 ]; then
  echo "  The Debian package indexes could not be fetched ($(grep -m1 '^E:' "$work/update.log" || echo 'apt-get update failed')),"
  echo "  and the indexes present cannot provide every package. This usually means the package mirror"
  echo "  is in the middle of a sync: run the command again in a few minutes."
else
  echo "  apt-get install said: $(grep -m1 '^E:' "$work/install.log" || tail -n 1 "$work/install.log")"
fi
exit 1
