# shellcheck shell=bash
# Sourced by the set-up and Windows scripts: where 32-bit x86 (i386) programs,
# such as Wine's 32-bit loader, run on this machine.
#
# kernel_runs_i386 asks the kernel itself, whatever binfmt_misc holds. Its probe
# is a 96-byte static i386 program that only calls exit(42) through int 0x80,
# marked as machine EM_486 (6) instead of EM_386 (3): the kernel's ia32 loader
# takes both (elf_check_arch_ia32), but the qemu-i386 binfmt_misc entry matches
# machine 3 alone. binfmt_misc is asked before the kernel's own ELF loader, so an
# EM_386 probe would run through QEMU wherever QEMU is registered, and succeed
# even where the kernel refuses i386 programs ("Exec format error"). The probe
# is written to DIRECTORY (default TMPDIR or /tmp), which must allow programs.
#   kernel_runs_i386 [DIRECTORY]
kernel_runs_i386() {
  local probe status=0
  probe=$(mktemp "${1:-${TMPDIR:-/tmp}}/i386-probe.XXXXXX")
  write_i386_probe "$probe"
  # The shell itself reports a refused program: the subshell keeps that quiet.
  ("$probe") 2>/dev/null || status=$?
  rm -f "$probe"
  [ "$status" -eq 42 ]
}
#   write_i386_probe FILE [MACHINE]   (MACHINE 6 unless given: 3 makes an
#                                      ordinary i386 program, for the tests)
write_i386_probe() {
  # ELF header: 32-bit, little-endian, executable, the machine, entry
  # 0x08048054, one program header at 52; the program header: the whole file
  # loaded read+execute at 0x08048000; then mov eax,1; mov ebx,42; int 0x80.
  printf '\177ELF\1\1\1\0\0\0\0\0\0\0\0\0\2\0\'"${2:-6}"'\0\1\0\0\0\124\200\4\10\64\0\0\0\0\0\0\0''\0\0\0\0\64\0\40\0\1\0\0\0\0\0\0\0''\1\0\0\0\0\0\0\0\0\200\4\10\0\200\4\10\140\0\0\0\140\0\0\0\5\0\0\0\0\20\0\0''\270\1\0\0\0\273\52\0\0\0\315\200' >"$1"
  chmod +x "$1"
}

# Entries of binfmt_misc that hand i386 programs to QEMU, by path. The file
# system is mounted first where it is not.
binfmt=/proc/sys/fs/binfmt_misc
qemu_i386_entries() {
  local entry
  if [ ! -e "$binfmt/register" ]; then
    as_root mount -t binfmt_misc binfmt_misc "$binfmt"
  fi
  for entry in "$binfmt"/*; do
    case ${entry##*/} in register | status) continue ;; esac
    if grep -q '^interpreter .*qemu-i386' "$entry"; then echo "$entry"; fi
  done
}

# Sends i386 programs to QEMU's user-mode emulator: enables a registered entry,
# or registers Debian's qemu-i386-static with the F flag (opened now, so that it
# also serves programs in chroots that do not have it).
register_qemu_i386() {
  local qemu=/usr/bin/qemu-i386-static entry
  entry=$(qemu_i386_entries | head -n 1)
  if [ -n "$entry" ]; then
    head -n 1 "$entry" | grep -qx enabled || echo 1 | as_root tee "$entry" >/dev/null
    return
  fi
  if [ ! -x "$qemu" ]; then
    echo "${0##*/}: this machine runs no i386 programs and $qemu is missing" \
         "(scripts/install-deps.sh installs qemu-user-static)" >&2
    return 1
  fi
  printf ':qemu-i386:M::%s:%s:%s:F' "$(hex_escaped "$qemu_i386_magic")" \
    "$(hex_escaped "$qemu_i386_mask")" "$qemu" | as_root tee "$binfmt/register" >/dev/null
}
# The entry's first 20 bytes, as binfmt_misc shows them: ELF, 32-bit,
# little-endian, executable or shared object, machine i386 (3) alone.
qemu_i386_magic=7f454c4601010100000000000000000002000300
qemu_i386_mask=fffffffffffefe00fffffffffffffffffeffffff
hex_escaped() { sed 's/../\\x&/g' <<<"$1"; }

# Whether this machine's own Wine is there for 32-bit and 64-bit prefixes
# (scripts/install-deps.sh tries wine32 and wine64).
machine_wine_installed() {
  local p
  for p in wine32:i386 wine64; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || return 1
  done
}
