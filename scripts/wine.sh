# Sourced by the scripts that run the Windows program under Wine: which Windows build this host
# can run, and a Wine of that width in a prefix of its own.

# Whether the kernel runs 32-bit x86 programs: a 91-byte 32-bit Linux program (ELF header, one
# program header, then xor ebx,ebx / xor eax,eax / inc eax / int 0x80) that only exits with 0.
# Where IA-32 emulation is off, the kernel refuses it with "Exec format error".
runs_32bit_programs() {
  local probe status=0
  probe=$(mktemp "${TMPDIR:-/tmp}/ia32-probe.XXXXXX")
  printf '\177ELF\1\1\1\0\0\0\0\0\0\0\0\0\2\0\3\0\1\0\0\0\124\200\4\10\64\0\0\0\0\0\0\0\0\0\0\0'`
        `'\64\0\40\0\1\0\0\0\0\0\0\0\1\0\0\0\0\0\0\0\0\200\4\10\0\200\4\10\133\0\0\0\133\0\0\0'`
        `'\5\0\0\0\0\20\0\0\61\333\61\300\100\315\200' > "$probe"
  chmod +x "$probe"
  "$probe" 2>/dev/null || status=$?
  rm -f "$probe"
  return $status
}

# Sets windows_width (32 or 64) and windows_width_reason: TUNEFUSE_WINDOWS_WIDTH when set, else
# 32 where the host runs 32-bit programs and 64 where it does not.
choose_windows_width() {
  windows_width=${TUNEFUSE_WINDOWS_WIDTH:-}
  case "$windows_width" in
    32 | 64) windows_width_reason="chosen by TUNEFUSE_WINDOWS_WIDTH=$windows_width" ;;
    "")
      if runs_32bit_programs; then
        windows_width=32 windows_width_reason="this host runs 32-bit x86 programs"
      else
        windows_width=64
        windows_width_reason="this host runs no 32-bit x86 programs (IA-32 emulation is off in its kernel)"
      fi
      ;;
    *) echo "TUNEFUSE_WINDOWS_WIDTH must be 32 or 64, not '$windows_width'" >&2; return 2 ;;
  esac
}

# The mingw-w64 target of a width.
windows_arch() { if [ "$1" = 32 ]; then echo i686; else echo x86_64; fi; }

# The Debian packages that build and run the Windows program of a width. No wine32 for 64: Debian's
# launchers would pick its loader even where the kernel cannot run it.
windows_packages() {
  local packages=(g++-mingw-w64-i686-posix dpkg-dev cmake make googletest pasmo)
  if [ "$1" = 32 ]; then packages+=(wine wine32:i386); else packages+=(g++-mingw-w64-x86-64-posix wine64); fi
  echo "${packages[@]}"
}

# Starts Wine of a width in the prefix given, without a display, quiet, without the .NET and HTML
# installers, and sets wine to its loader. A persistent server is started first: otherwise Wine's
# background processes keep ctest's pipes open, and each test takes seconds or never ends. Call
# stop_wine when done.
start_wine() {
  local width=$1
  if [ "$width" = 32 ]; then
    wine=/usr/lib/wine/wine wineserver=wineserver
    export WINEARCH=win32
  else
    wine=/usr/lib/wine/wine64 wineserver=/usr/lib/wine/wineserver64
    export WINEARCH=win64 WINELOADER=/usr/lib/wine/wine64
  fi
  export WINEPREFIX=$2 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=C.UTF-8
  unset DISPLAY
  mkdir -p "$WINEPREFIX"
  "$wineserver" -p >/dev/null 2>&1
  "$wine" wineboot --init >/dev/null 2>&1
}

stop_wine() { "$wineserver" -k >/dev/null 2>&1 || true; }
