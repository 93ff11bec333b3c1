# How each Debian source package becomes Windows programs; sourced by build.sh.
#
# A recipe runs inside the unpacked source tree with these set:
#   CC CXX AR RANLIB WINDRES HOST   the MinGW-w64 cross tools (posix threads)
#   DEPS     a prefix holding include/ and lib/ of the packages it depends on
#   OUT      the cache entry being made: bin/ for programs, lib/ and include/
#            for libraries, licenses/ for the licence texts
#   JOBS     parallel compile jobs
#   UPSTREAM the upstream version (the Debian version without epoch and revision)
#   WINTOOLS the wintools folder
# Programs get the names the optimizer starts them by. Every recipe links
# statically, so each program is one file that needs no DLL. 7-Zip and flac
# use the wide Windows calls themselves; the other programs get utf8.manifest.

# package | recipe | packages it links against
WINTOOLS_PACKAGES=(
  "zlib|recipe_zlib|"
  "libpng1.6|recipe_libpng|zlib"
  "optipng|recipe_optipng|zlib libpng1.6"
  "gifsicle|recipe_gifsicle|"
  "advancecomp|recipe_advancecomp|zlib"
  "flac|recipe_flac|"
  "libjpeg-turbo|recipe_libjpeg_turbo|"
  "7zip|recipe_7zip|"
)

# Debian versions whose packaging part may be missing from a mirror: the build
# then uses the upstream tarball alone, checked against the .dsc that apt
# verified. Only for versions whose Debian part changes nothing in the program:
# optipng 0.7.7-2 only changes packaging metadata (see its changelog).
WINTOOLS_UPSTREAM_ONLY=("optipng=0.7.7-2")

# licence NAME FILE...: the licence texts of one component, with CR LF line ends.
licence() {
  local name=$1 file
  shift
  mkdir -p "$OUT/licenses"
  for file in "$@"; do
    [ -f "$file" ] || { echo "wintools: licence text $file is missing" >&2; return 1; }
  done
  {
    for file in "$@"; do
      printf '==== %s ====\n\n' "$(basename "$file")"
      cat "$file"
      printf '\n'
    done
  } | sed 's/\r$//; s/$/\r/' > "$OUT/licenses/$name.txt"
}

# program FILE NAME: installs a built program under the name the optimizer uses.
program() {
  mkdir -p "$OUT/bin"
  cp "$1" "$OUT/bin/$2"
  "$HOST-strip" "$OUT/bin/$2"
}

# utf8_manifest: prints an object file that gives a program utf8.manifest, for
# the tools that open files through the C library's narrow calls.
utf8_manifest() {
  printf '1 24 "%s"\n' "$WINTOOLS/utf8.manifest" > _utf8_manifest.rc
  "$WINDRES" _utf8_manifest.rc -O coff -o _utf8_manifest.o
  echo "$PWD/_utf8_manifest.o"
}

cmake_windows() {
  cmake -S . -B _build -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_SYSTEM_PROCESSOR=AMD64 \
    -DCMAKE_C_COMPILER="$CC" -DCMAKE_CXX_COMPILER="$CXX" -DCMAKE_RC_COMPILER="$WINDRES" \
    -DCMAKE_FIND_ROOT_PATH="$DEPS" -DCMAKE_BUILD_TYPE=Release -DCMAKE_EXE_LINKER_FLAGS=-static "$@"
}

recipe_zlib() {
  CC="$CC" AR="$AR" RANLIB="$RANLIB" CFLAGS=-O2 ./configure --static
  make -j "$JOBS" libz.a
  mkdir -p "$OUT/lib" "$OUT/include"
  cp libz.a "$OUT/lib/"
  cp zlib.h zconf.h "$OUT/include/"
  licence zlib LICENSE
}

# libpng's own makefile for a plain static library, with its prebuilt configuration.
recipe_libpng() {
  make -f scripts/makefile.gcc -j "$JOBS" libpng.a CC="$CC" AR_RC="$AR rcs" RANLIB="$RANLIB" \
    ZLIBINC="$DEPS/include" CFLAGS=-O2
  mkdir -p "$OUT/lib" "$OUT/include"
  cp libpng.a "$OUT/lib/"
  cp png.h pngconf.h pnglibconf.h "$OUT/include/"
  licence libpng LICENSE
}

recipe_optipng() {
  CC="$CC" AR="$AR" RANLIB="$RANLIB" CFLAGS="-O2 -I$DEPS/include" \
    LDFLAGS="-static -L$DEPS/lib $(utf8_manifest)" ./configure -with-system-libs
  make -j "$JOBS"
  program src/optipng/optipng.exe OptiPNG.exe
  licence OptiPNG LICENSE.txt
}

# Gifsicle ships a Windows configuration header; its MinGW makefile names the
# objects but is written for a Windows shell, so the list is taken from it.
recipe_gifsicle() {
  local objects sources=() object
  objects=$(sed -n '/^GIFSICLE_OBJS/,/[^\\]$/p' src/Makefile.mingw | tr -d '\\' | sed 's/GIFSICLE_OBJS *=//')
  for object in $objects; do
    object=${object/\$(GIFWRITE_OBJ)/gifwrite.o}
    sources+=("src/${object%.o}.c")
  done
  [ ${#sources[@]} -gt 5 ] || { echo "wintools: no object list in src/Makefile.mingw" >&2; return 1; }
  cp src/win32cfg.h config.h
  "$CC" -O2 -I. -Iinclude -DHAVE_CONFIG_H -D_CONSOLE -DHAVE_UINTPTR_T -DHAVE_INTTYPES_H -static \
    -o gifsicle.exe "${sources[@]}" "$(utf8_manifest)"
  program gifsicle.exe Gifsicle.exe
  licence Gifsicle COPYING
}

# The standalone console program (7zz) with every format built in; Debian's
# source carries no RAR code.
recipe_7zip() {
  make -C CPP/7zip/Bundles/Alone2 -f makefile.gcc -j "$JOBS" IS_MINGW=1 DISABLE_RAR_COMPRESS=1 \
    CC="$CC" CXX="$CXX" RC="$WINDRES"
  program CPP/7zip/Bundles/Alone2/_o/7zz.exe 7z.exe
  licence 7-Zip DOC/License.txt DOC/copying.txt
}

recipe_advancecomp() {
  # A release tarball carries its version in .version; the Debian source does not.
  printf '%s' "$UPSTREAM" > .version
  autoreconf -fi
  ./configure --host="$HOST" CC="$CC" CXX="$CXX" CFLAGS=-O2 CXXFLAGS=-O2 \
    CPPFLAGS="-I$DEPS/include" LDFLAGS="-static -L$DEPS/lib $(utf8_manifest)"
  make -j "$JOBS" advzip.exe
  program advzip.exe advzip.exe
  licence advancecomp COPYING
}

recipe_flac() {
  cmake_windows -DBUILD_SHARED_LIBS=OFF -DWITH_OGG=OFF -DBUILD_CXXLIBS=OFF -DBUILD_EXAMPLES=OFF \
    -DBUILD_TESTING=OFF -DBUILD_DOCS=OFF -DINSTALL_MANPAGES=OFF -DWITH_STACK_PROTECTOR=OFF \
    -DWITH_FORTIFY_SOURCE=OFF
  cmake --build _build -j "$JOBS" --target flacapp metaflac
  program _build/objs/flac.exe flac.exe
  program _build/objs/metaflac.exe metaflac.exe
  licence FLAC COPYING.GPL COPYING.Xiph
}

# jpegtran only; lossless transforms use no SIMD code, so no assembler is needed.
recipe_libjpeg_turbo() {
  # Its default install prefix on Windows is a drive path that CMake on Linux rejects.
  cmake_windows -DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DWITH_SIMD=OFF -DWITH_TURBOJPEG=OFF -DWITH_JAVA=OFF \
    -DCMAKE_EXE_LINKER_FLAGS="-static $(utf8_manifest)" -DCMAKE_INSTALL_PREFIX="$PWD/_install"
  cmake --build _build -j "$JOBS" --target jpegtran-static
  program _build/jpegtran-static.exe mozjpegtran.exe
  licence libjpeg-turbo LICENSE.md README.ijg
}
