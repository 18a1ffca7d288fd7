# The target of the 32-bit ARM musl builds, for zig (installed by common.sh's install_zig);
# sourced after common.sh and roots.sh.
MUSL_TARGET=arm-linux-musleabihf
MUSL_CPU=cortex_a7  # ARMv7-A with VFPv4 and NEON, as on the robots' boards
