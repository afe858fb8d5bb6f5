#!/usr/bin/env bash
# Installs everything the player and its tests need on Debian 12, as root.
# Idempotent: a second run only checks what is already there.
set -euo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"
cache="${LUMETTA_CACHE:-/var/cache/lumetta-build}"
sdl_prefix_version="sdl3-1"
prefix="$cache/$sdl_prefix_version"

log() { echo "[SETUP] $*"; }

need_root() {
    if [ "$(id -u)" != 0 ]; then
        echo "[SETUP] must run as root (it installs Debian packages)" >&2
        exit 1
    fi
}

packages=(
    build-essential cmake ninja-build pkg-config git ca-certificates curl
    libgtest-dev libgmock-dev libbenchmark-dev
    libavformat-dev libavcodec-dev libavutil-dev libswscale-dev libswresample-dev
    libopencv-core-dev libopencv-imgproc-dev libopencv-imgcodecs-dev
    libcurl4-openssl-dev libssl-dev libjsoncpp-dev libev-dev libasound2-dev
    libvulkan-dev zlib1g-dev
    libwebsockets-dev libwebsockets-evlib-ev python3-websockets
    libdrm-dev libgbm-dev libegl-dev libgles-dev libgl-dev
    libx11-dev libxext-dev libxrandr-dev libxcursor-dev libxfixes-dev libxi-dev
    libxss-dev libxtst-dev libxkbcommon-dev
    libfreetype-dev libharfbuzz-dev libpng-dev libjpeg-dev libwebp-dev libtiff-dev
    ffmpeg xvfb xauth iproute2 util-linux dpkg-dev zip unzip
    clang libclang-rt-14-dev
    fonts-lato fonts-dejavu-core fonts-dejavu-extra fonts-liberation fonts-liberation2
    fonts-crosextra-caladea fonts-open-sans
)

install_packages() {
    local missing=()
    for p in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        log "installing ${missing[*]}"
        apt-get update
        DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
    fi
    # npm fetches the font packages; a machine with Node.js from elsewhere already has it.
    if ! command -v npm >/dev/null; then
        apt-get update
        DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends npm
    fi
}

# SDL3 and its image and font libraries come from Debian 13's source packages.
# A private apt configuration fetches them so the machine's own sources stay untouched.
build_sdl() {
    if [ -f "$prefix/.complete" ]; then
        return
    fi
    log "building SDL3, SDL3_image and SDL3_ttf into $prefix"
    local work="$cache/src"
    local aptdir="$cache/apt"
    rm -rf "$work" "$prefix"
    mkdir -p "$work" "$aptdir/lists/partial" "$aptdir/cache/archives/partial" "$aptdir/etc/preferences.d" "$aptdir/etc/sources.list.d"
    cat > "$aptdir/etc/sources.list" <<SRC
deb-src [signed-by=/usr/share/keyrings/debian-archive-trixie-stable.gpg,/usr/share/keyrings/debian-archive-trixie-automatic.gpg] http://deb.debian.org/debian trixie main
SRC
    local aptopts=(
        -o "Dir::Etc::sourcelist=$aptdir/etc/sources.list"
        -o "Dir::Etc::sourceparts=$aptdir/etc/sources.list.d"
        -o "Dir::Etc::preferencesparts=$aptdir/etc/preferences.d"
        -o "Dir::State=$aptdir"
        -o "Dir::State::lists=$aptdir/lists"
        -o "Dir::State::status=/var/lib/dpkg/status"
        -o "Dir::Cache=$aptdir/cache"
        -o "APT::Sandbox::User=root"
    )
    apt-get "${aptopts[@]}" update
    (cd "$work" && apt-get "${aptopts[@]}" source --download-only libsdl3 libsdl3-image libsdl3-ttf)
    (cd "$work" && for dsc in *.dsc; do dpkg-source --no-check -x "$dsc"; done)

    local common=(-G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix"
                  -DCMAKE_INSTALL_LIBDIR=lib -DCMAKE_PREFIX_PATH="$prefix")
    local sdl_src image_src ttf_src
    sdl_src=$(find "$work" -maxdepth 1 -type d -name 'libsdl3-3*' | head -n1)
    image_src=$(find "$work" -maxdepth 1 -type d -name 'libsdl3-image-*' | head -n1)
    ttf_src=$(find "$work" -maxdepth 1 -type d -name 'libsdl3-ttf-*' | head -n1)

    cmake -S "$sdl_src" -B "$work/build-sdl" "${common[@]}" \
        -DSDL_KMSDRM=ON -DSDL_X11=ON -DSDL_OFFSCREEN=ON -DSDL_DUMMYVIDEO=ON \
        -DSDL_ALSA=ON -DSDL_VULKAN=ON -DSDL_RENDER_VULKAN=ON \
        -DSDL_WAYLAND=OFF -DSDL_PIPEWIRE=OFF -DSDL_PULSEAUDIO=OFF -DSDL_JACK=OFF \
        -DSDL_SNDIO=OFF -DSDL_TESTS=OFF -DSDL_EXAMPLES=OFF -DSDL_INSTALL_TESTS=OFF \
        -DSDL_SHARED=ON -DSDL_STATIC=OFF
    cmake --build "$work/build-sdl"
    cmake --install "$work/build-sdl"

    cmake -S "$image_src" -B "$work/build-image" "${common[@]}" \
        -DSDLIMAGE_VENDORED=OFF -DSDLIMAGE_SAMPLES=OFF -DSDLIMAGE_TESTS=OFF \
        -DSDLIMAGE_AVIF=ON -DSDLIMAGE_JXL=OFF -DSDLIMAGE_WEBP=ON -DSDLIMAGE_TIF=ON \
        -DSDLIMAGE_BACKEND_STB=OFF -DSDLIMAGE_DEPS_SHARED=OFF
    cmake --build "$work/build-image"
    cmake --install "$work/build-image"

    cmake -S "$ttf_src" -B "$work/build-ttf" "${common[@]}" \
        -DSDLTTF_VENDORED=OFF -DSDLTTF_SAMPLES=OFF -DSDLTTF_TESTS=OFF \
        -DSDLTTF_HARFBUZZ=ON -DSDLTTF_PLUTOSVG=OFF
    cmake --build "$work/build-ttf"
    cmake --install "$work/build-ttf"

    rm -rf "$work"
    touch "$prefix/.complete"
}

# Every font family a playlist may name, under "<Family>-<Style>.ttf" and the plain "<Family>.ttf".
assemble_fonts() {
    local dest="$here/assets/fonts"
    local stamp="$dest/.complete-2"
    [ -f "$stamp" ] && return
    log "assembling fonts into $dest"
    mkdir -p "$dest"
    local deb=/usr/share/fonts/truetype
    put() { # family style source
        [ -f "$3" ] || { echo "[SETUP] missing font file $3" >&2; exit 1; }
        cp -f "$3" "$dest/$1-$2.ttf"
        [ "$2" = Regular ] && cp -f "$3" "$dest/$1.ttf"
        return 0
    }
    put Lato Regular "$deb/lato/Lato-Regular.ttf"; put Lato Bold "$deb/lato/Lato-Bold.ttf"
    put Lato Italic "$deb/lato/Lato-Italic.ttf"; put Lato BoldItalic "$deb/lato/Lato-BoldItalic.ttf"
    put DejaVuSans Regular "$deb/dejavu/DejaVuSans.ttf"; put DejaVuSans Bold "$deb/dejavu/DejaVuSans-Bold.ttf"
    put DejaVuSans Italic "$deb/dejavu/DejaVuSans-Oblique.ttf"; put DejaVuSans BoldItalic "$deb/dejavu/DejaVuSans-BoldOblique.ttf"
    put DejaVuSerif Regular "$deb/dejavu/DejaVuSerif.ttf"; put DejaVuSerif Bold "$deb/dejavu/DejaVuSerif-Bold.ttf"
    put DejaVuSerif Italic "$deb/dejavu/DejaVuSerif-Italic.ttf"; put DejaVuSerif BoldItalic "$deb/dejavu/DejaVuSerif-BoldItalic.ttf"
    for f in Sans Serif; do
        put "Liberation$f" Regular "$deb/liberation2/Liberation$f-Regular.ttf"
        put "Liberation$f" Bold "$deb/liberation2/Liberation$f-Bold.ttf"
        put "Liberation$f" Italic "$deb/liberation2/Liberation$f-Italic.ttf"
        put "Liberation$f" BoldItalic "$deb/liberation2/Liberation$f-BoldItalic.ttf"
    done
    put LiberationSansNarrow Regular "$deb/liberation/LiberationSansNarrow-Regular.ttf"
    put LiberationSansNarrow Bold "$deb/liberation/LiberationSansNarrow-Bold.ttf"
    put LiberationSansNarrow Italic "$deb/liberation/LiberationSansNarrow-Italic.ttf"
    put LiberationSansNarrow BoldItalic "$deb/liberation/LiberationSansNarrow-BoldItalic.ttf"
    put Caladea Regular "$deb/crosextra/Caladea-Regular.ttf"; put Caladea Bold "$deb/crosextra/Caladea-Bold.ttf"
    put Caladea Italic "$deb/crosextra/Caladea-Italic.ttf"; put Caladea BoldItalic "$deb/crosextra/Caladea-BoldItalic.ttf"
    put OpenSans Regular "$deb/open-sans/OpenSans-Regular.ttf"; put OpenSans Bold "$deb/open-sans/OpenSans-Bold.ttf"
    put OpenSans Italic "$deb/open-sans/OpenSans-Italic.ttf"; put OpenSans BoldItalic "$deb/open-sans/OpenSans-BoldItalic.ttf"

    # The remaining families ship as .ttf files inside npm packages; fetched here, never at run time.
    local npmwork
    npmwork=$(mktemp -d)
    local fam pkg
    for fam in GreatVibes Imprima Lemon Montserrat Oswald Righteous Sansita; do
        case $fam in
            GreatVibes) pkg=great-vibes ;;
            *) pkg=$(echo "$fam" | tr 'A-Z' 'a-z') ;;
        esac
        (cd "$npmwork" && npm pack --silent "@expo-google-fonts/$pkg" >/dev/null)
        mkdir -p "$npmwork/$fam"
        tar -xzf "$npmwork"/expo-google-fonts-"$pkg"-*.tgz -C "$npmwork/$fam"
        local files
        files=$(find "$npmwork/$fam" -name '*.ttf')
        pick() { # weight-pattern
            echo "$files" | grep -E "/[0-9]*[A-Za-z]*_$1\.ttf$" | head -n1 || true
        }
        local reg bold ital bital
        reg=$(pick '400Regular'); bold=$(pick '700Bold'); ital=$(pick '400Regular_Italic'); bital=$(pick '700Bold_Italic')
        [ -n "$reg" ] || reg=$(echo "$files" | head -n1)
        put "$fam" Regular "$reg"
        [ -n "$bold" ] && put "$fam" Bold "$bold"
        [ -n "$ital" ] && put "$fam" Italic "$ital"
        [ -n "$bital" ] && put "$fam" BoldItalic "$bital"
    done
    rm -rf "$npmwork"
    touch "$stamp"
}

need_root
install_packages
build_sdl
assemble_fonts
echo "$prefix"
