# The compiler of the x86_64 wheels: zig (PyPI's ziglang, installed by common.sh) targeting
# glibc 2.28, so that the wheels run on every Linux with glibc 2.28 or newer
# (manylinux_2_28). zig links its own libc++ statically, so the module needs nothing but
# glibc and libgcc_s. Sourced after common.sh and roots.sh.
#
# The unwinder is libgcc_s's, not the copy of LLVM's libunwind zig would link in: glibc
# ends a thread (pthread_exit, which CPython calls on a thread that re-attaches during
# finalisation) by a forced unwind driven by libgcc_s, whose frames' context the module's
# personality routine must read with the same library. With a private libunwind it reads
# libgcc_s's context as its own and crashes. Named on the link line before zig's own
# libraries, libgcc_s provides every _Unwind_* symbol, and libunwind is never pulled in.
MANYLINUX_GLIBC=2.28
MANYLINUX_TARGET=x86_64-linux-gnu.$MANYLINUX_GLIBC
MANYLINUX_CPU=x86_64  # the x86-64 baseline: no instruction a 2003 CPU lacks
# The same path on the host and in the sid root where the cp313t wheel is built; the
# module needs only its GCC_3.0 symbols.
MANYLINUX_LIBGCC_S=/lib/x86_64-linux-gnu/libgcc_s.so.1

# Prints the folder of the cc and c++ wrappers, installing zig first when needed.
ensure_manylinux_zig() {
  zig_wrappers "$MANYLINUX_TARGET" "$MANYLINUX_CPU" "$MANYLINUX_LIBGCC_S"
}

# zig_wrappers TARGET CPU LIBGCC_S: the wrappers' folder for one target (see above); the
# ARM ones are cross compilers, with the target's libgcc_s taken from its Debian root.
zig_wrappers() {
  local target=$1 cpu=$2 libgcc_s=$3
  local zig wrappers
  # A folder per target and libgcc_s: two builds for one target may name different copies.
  wrappers=$ZIG_HOME/wrappers-$target-$(printf '%s' "$cpu $libgcc_s" | sha256sum | cut -c1-8)
  install_zig
  zig=$(zig_binary "$ZIG_HOME/venv")
  # Written every time (they are tiny), so that a changed recipe never meets old wrappers;
  # each whole, as the other lane may be running one of them.
  mkdir -p "$wrappers"
  printf '#!/bin/sh\nexec %s cc -target %s -mcpu=%s "$@"\n' \
    "$zig" "$target" "$cpu" | write_whole "$wrappers/cc" 755
  # Links name libgcc_s before anything zig adds (see above); compiles are left alone.
  # This machine's libgcc_s may need a newer glibc than the target's: that is the user's
  # own libgcc_s to settle at run time, so a test program's link does not check it.
  write_whole "$wrappers/c++" 755 <<SH
#!/bin/sh
for arg; do [ "\$arg" = -c ] && exec $zig c++ -target $target -mcpu=$cpu "\$@"; done
exec $zig c++ -target $target -mcpu=$cpu -Wl,--allow-shlib-undefined $libgcc_s "\$@"
SH
  printf '#!/bin/sh\nexec %s ar "$@"\n' "$zig" | write_whole "$wrappers/ar" 755
  printf '#!/bin/sh\nexec %s ranlib "$@"\n' "$zig" | write_whole "$wrappers/ranlib" 755
  # The module exports its init function only, not the C++ library linked into it.
  printf '{ global: PyInit_*; local: *; };\n' | write_whole "$wrappers/module.map"
  echo "$wrappers"
}

# Environment words (VAR=value) that make CMake build with the wrappers (of the x86_64
# target, or of the folder given).
manylinux_build_env() {
  local wrappers; wrappers=${1:-$(ensure_manylinux_zig)}
  echo "CC=$wrappers/cc CXX=$wrappers/c++ LDFLAGS=-Wl,--version-script=$wrappers/module.map ZIG_GLOBAL_CACHE_DIR=$ZIG_GLOBAL_CACHE_DIR"
}
