#!/usr/bin/env bash
# Prepares the arm64 sysroot that the AArch64 cross build compiles and links
# against and that qemu runs the tests in: Debian 12's arm64 packages of every
# library the workspace uses, with their dependencies, unpacked (never installed:
# Debian's arm64 PCL cannot be installed beside the amd64 one) into a folder
# outside the checkout. Built once per machine and package list, reused after.
# apt runs with a private state and arm64 as its only architecture, so neither
# the host's package lists nor its dpkg database are touched.
#
# usage: scripts/aarch64_sysroot.sh      prints the sysroot's path on stdout
#   VELMORA_CACHE_DIR: cache root (default /var/cache/velmora)
set -euo pipefail

# What the target code links against, plus what ament's and rosidl's CMake code
# find for the target (their arch-independent parts run from the host).
PACKAGES=(
  libc6-dev libstdc++-12-dev
  libpcl-dev libopencv-dev libeigen3-dev libyaml-cpp-dev
  libspdlog-dev libfmt-dev libboost-filesystem-dev libsystemd-dev
  libgtest-dev libgmock-dev libnanoflann-dev
  libxnnpack-dev libpthreadpool-dev
  libament-index-cpp-dev librosidl-typesupport-introspection-c-cpp-dev librcutils-dev
)
# Bumped when the way the tree is laid out changes (not only the list).
LAYOUT=2

cache=${VELMORA_CACHE_DIR:-/var/cache/velmora}
key=$( { echo "layout $LAYOUT"; printf '%s\n' "${PACKAGES[@]}"; } | sha256sum | cut -c1-16)
sysroot="$cache/aarch64-sysroot-$key"
stamp="$sysroot/.velmora-sysroot-complete"

if [ -f "$stamp" ]; then
  echo "$sysroot"
  exit 0
fi

mkdir -p "$cache"
# One preparation at a time per machine; a second caller waits and reuses it.
exec 9>"$cache/aarch64-sysroot.lock"
flock 9
if [ -f "$stamp" ]; then
  echo "$sysroot"
  exit 0
fi

start=$SECONDS
work=$(mktemp -d "$cache/aarch64-sysroot-work.XXXXXX")
trap 'rm -rf "$work"' EXIT
echo "aarch64 sysroot: preparing $sysroot" >&2

# The host's Debian sources (its mirror, suites and keyring), for arm64.
apt_dir="$work/apt"
mkdir -p "$apt_dir/sources.list.d" "$apt_dir/lists/partial" "$apt_dir/archives/partial" \
  "$apt_dir/preferences.d" "$apt_dir/apt.conf.d"
: >"$apt_dir/status"
: >"$apt_dir/sources.list"
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
  [ -f "$f" ] || continue
  # Only Debian's own archive: third-party repositories rarely serve arm64.
  grep -qiE '^[^#]*debian' "$f" || continue
  cp "$f" "$apt_dir/sources.list.d/"
done
if [ -z "$(ls -A "$apt_dir/sources.list.d")" ]; then
  echo "aarch64 sysroot: no Debian source in /etc/apt" >&2
  exit 1
fi
apt_opts=(
  -o APT::Architecture=arm64 -o APT::Architectures::=arm64
  -o Dir::State="$apt_dir" -o Dir::State::Lists="$apt_dir/lists"
  -o Dir::State::status="$apt_dir/status"
  -o Dir::Cache="$apt_dir" -o Dir::Cache::Archives="$apt_dir/archives"
  -o Dir::Etc::SourceList="$apt_dir/sources.list" -o Dir::Etc::SourceParts="$apt_dir/sources.list.d"
  -o Dir::Etc::Preferences="$apt_dir/preferences" -o Dir::Etc::PreferencesParts="$apt_dir/preferences.d"
  -o Dir::Etc::Parts="$apt_dir/apt.conf.d"
  -o APT::Install-Recommends=false -o APT::Install-Suggests=false
  -o Debug::NoLocking=true -o APT::Sandbox::User=root
  -q -y
)
apt-get "${apt_opts[@]}" update >&2
apt-get "${apt_opts[@]}" install --download-only "${PACKAGES[@]}" >&2
download_s=$((SECONDS - start))

root="$work/root"
mkdir -p "$root"
debs=("$apt_dir"/archives/*.deb)
echo "aarch64 sysroot: unpacking ${#debs[@]} packages" >&2
for deb in "${debs[@]}"; do
  dpkg-deb -x "$deb" "$root"
done

# Merged /usr as on an installed bookworm: binaries name /lib/ld-linux-aarch64.so.1,
# libraries sit in both /lib and /usr/lib.
for d in lib bin sbin; do
  if [ -d "$root/$d" ] && [ ! -L "$root/$d" ]; then
    mkdir -p "$root/usr/$d"
    cp -a "$root/$d/." "$root/usr/$d/"
    rm -rf "${root:?}/$d"
  fi
  ln -sfn "usr/$d" "$root/$d"
done

# Links the packages make absolute point into the host; point them into the sysroot.
while IFS= read -r -d '' link; do
  target=$(readlink "$link")
  rel=$(realpath -m --relative-to="$(dirname "$link")" "$root$target")
  ln -sfn "$rel" "$link"
done < <(find "$root" -type l -lname '/*' -print0)

# What update-alternatives would link on an installed system: the reference
# BLAS and LAPACK that OpenCV and PCL's dependencies name.
for alt in blas lapack; do
  for lib in "$root/usr/lib/aarch64-linux-gnu/$alt"/lib*.so*; do
    [ -e "$lib" ] || continue
    link="$root/usr/lib/aarch64-linux-gnu/$(basename "$lib")"
    [ -e "$link" ] || ln -s "$alt/$(basename "$lib")" "$link"
  done
done

# CMake packages that name their files by absolute /usr paths (PCL's, Imath's,
# expat's, ...) name them inside the sysroot; the compiler would otherwise take
# the host's amd64 headers and the linker fail on /usr/lib/aarch64-linux-gnu.
# Only quoted paths: unquoted ones are find_*() hints, which CMake re-roots itself.
cmake_dirs=()
for d in usr/lib/aarch64-linux-gnu/cmake usr/lib/cmake usr/share; do
  [ ! -d "$root/$d" ] || cmake_dirs+=("$root/$d")
done
find "${cmake_dirs[@]}" -name '*.cmake' -type f -print0 |
  xargs -0 -r sed -i -E \
    -e "s#([\";])/usr(/(lib|include|share)[/\";]|\")#\\1$sysroot/usr\\2#g" \
    -e "s#([\";])/lib/aarch64-linux-gnu#\\1$sysroot/usr/lib/aarch64-linux-gnu#g"

{ printf '%s\n' "${PACKAGES[@]}"; echo "---"; for deb in "${debs[@]}"; do basename "$deb"; done; } \
  >"$root/.velmora-sysroot-packages"
rm -rf "$sysroot"
mv "$root" "$sysroot"
touch "$stamp"
echo "aarch64 sysroot: ready after $((SECONDS - start)) s (download $download_s s, $(du -sh "$sysroot" | cut -f1))" >&2
echo "$sysroot"
