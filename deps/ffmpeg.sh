#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR
# Cross-builds the parts of FFmpeg the engine uses (H.264/HEVC decoding with DXVA2, swscale)
# as static libraries for i686-w64-mingw32, from Debian's source package. Prints the prefix.
set -euo pipefail
# shellcheck source=common.sh
source "$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/common.sh"

DEPS_NAME=ffmpeg
DEPS_SRCPKG=ffmpeg
DEPS_DEBVER='7:5.1.9-0+deb12u1'
DEPS_DSC_SHA256=055f82fca9a92f1d47216be2c2488d09373c7ca154806fbc36b0127c191d5104
DEPS_ORIG=ffmpeg_5.1.9.orig.tar.xz
DEPS_ORIG_SHA256=d9b593bb2ba93d4b50f74177e0cdcd41747e708596367deed0c30348a71dd176

deps_build_steps() {
  local src=$1 prefix=$2
  deps_require_tools nasm
  # Threads: native Win32 threads (w32threads), so nothing imports winpthreads.
  # --disable-autodetect keeps zlib, iconv, schannel and friends out; what we need is asked for.
  deps_run ./configure \
    --prefix="$prefix" \
    --enable-cross-compile --target-os=mingw32 --arch=x86 \
    --cross-prefix="$DEPS_HOST-" --cc="$DEPS_CC" --cxx="$DEPS_CXX" \
    --x86asmexe=nasm --enable-x86asm \
    --pkg-config=pkg-config \
    --enable-static --disable-shared \
    --disable-programs --disable-doc \
    --disable-autodetect --disable-everything \
    --disable-avformat --disable-avdevice --disable-avfilter --disable-swresample \
    --disable-postproc --disable-network \
    --enable-avcodec --enable-avutil --enable-swscale \
    --enable-w32threads --disable-pthreads \
    --enable-dxva2 \
    --enable-decoder=h264,hevc \
    --enable-parser=h264,hevc \
    --enable-hwaccel=h264_dxva2,hevc_dxva2

  # configure quietly drops a feature whose probe fails; make that loud instead.
  local want config
  config=$(cat config.h config_components.h) ||
    deps_fail_with_log "configure wrote no config.h / config_components.h"
  for want in HAVE_W32THREADS CONFIG_DXVA2 HAVE_X86ASM \
              CONFIG_H264_DECODER CONFIG_HEVC_DECODER \
              CONFIG_H264_PARSER CONFIG_HEVC_PARSER \
              CONFIG_H264_DXVA2_HWACCEL CONFIG_HEVC_DXVA2_HWACCEL \
              CONFIG_AVCODEC CONFIG_AVUTIL CONFIG_SWSCALE; do
    grep -qx "#define $want 1" <<<"$config" ||
      deps_fail_with_log "configure did not enable $want (see config*.h in $src)"
  done
  for want in HAVE_PTHREADS CONFIG_AVFORMAT CONFIG_AVFILTER CONFIG_SWRESAMPLE CONFIG_NETWORK; do
    grep -qx "#define $want 0" <<<"$config" ||
      deps_fail_with_log "configure left $want on (see config*.h in $src)"
  done

  deps_run make -j"$DEPS_JOBS"
  deps_run make install
}

deps_check_install() {
  local prefix=$1 f
  for f in lib/libavcodec.a lib/libavutil.a lib/libswscale.a \
           lib/pkgconfig/libavcodec.pc lib/pkgconfig/libavutil.pc lib/pkgconfig/libswscale.pc \
           include/libavcodec/avcodec.h include/libavcodec/dxva2.h \
           include/libavutil/hwcontext_dxva2.h include/libswscale/swscale.h; do
    [[ -f $prefix/$f ]] || deps_fail_with_log "install is missing $f"
  done
  for f in libavformat libavfilter libswresample libavdevice; do
    [[ ! -e $prefix/lib/$f.a ]] || deps_fail_with_log "install unexpectedly contains $f.a"
  done
}

deps_main "${BASH_SOURCE[0]}"
