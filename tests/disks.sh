#!/bin/bash
# The promises of tarvik-convert on the disks technicians carry, each with its own driver (the
# README lists them and the rows).
#   tests/disks.sh --install               the Debian packages (as root)
#   tests/disks.sh TOOL DATA [DISK...]     every row on each DISK (default: all): a line per row,
#                                          "DISK: row: ok" or "DISK: row: FAILED: why"
# Exit status 0 when every row that could run held, 1 when one did not, 77 when none could run: a
# disk whose packages are missing is skipped, and says so.
set -u
declare -A needs=([exfat]="exfat-fuse exfatprogs" [ntfs]=ntfs-3g [sshfs]="sshfs openssh-server"
    [sftp-norename]="sshfs openssh-server" [smb]="samba smbnetfs" [vfat]="dosfstools user-mode-linux python3-seccomp")
if [ "${1:-}" = --install ]; then
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        ${needs[*]} strace python3 perl >/dev/null
    exit
fi
T=$(realpath "$1") OLD=$(realpath "$2")/old-setup.hex
shift 2
here=$(realpath "$0")
missing() { for p in strace $*; do dpkg-query -W -f='${Status}' $p 2>/dev/null | grep -q 'ok installed' || echo -n "$p "; done; }
if [ "${1:-}" != --inside ] && [ "$(id -u)" != 0 ]; then
    echo "SKIPPED every disk: mounting them needs root; run as root: tests/disks.sh --install; ctest -R disks"
    exit 77
fi

# Other old setups, each with a byte in either half of the image changed (so that a mix of
# halves is neither): to stdout, or for each pair of arguments N FILE, changed by N, into FILE.
variant() { python3 -c '
import sys
def setup(n):
    out = []
    for line in open(sys.argv[1]).read().split():
        b = bytearray.fromhex(line[1:]); at = b[1] << 8 | b[2]
        for x in (0x100, 3300):
            if b[3] == 0 and at <= x < at + b[0]: b[4 + x - at] ^= n
        b[-1] = -sum(b[:-1]) & 255; out.append(":" + b.hex().upper())
    return "\n".join(out) + "\n"
pairs = sys.argv[2:]
for n, name in zip(pairs[::2], pairs[1::2]): open(name, "w").write(setup(int(n)))
pairs or sys.stdout.write(setup(255))' "$OLD" "$@"; }
fail() { echo "FAILED: $*"; return 1; }
no_temporary() { wait_for '[ -z "$(ls -A | grep tarvik-save)" ]' || fail "a temporary is left: $(ls -A)"; }
# Every file the tool said it converted holds its input's conversion.
converted() {
    sed -n 's/^converted \(.*\) -> \([^;]*\).*/\1 \2/p' "$1" | while read -r from to; do
        cmp -s <("$T" "$from" -) "$to" || fail "$to is not the conversion of $from" || return
    done
}

row_two_spellings() {
    mkdir A B out && cp "$OLD" A/site.hex && variant >B/SITE.HEX
    "$T" -v -d out A/site.hex B/SITE.HEX >log 2>&1
    converted log
}
row_another_spelling() {
    cp "$OLD" site.hex && "$T" site.hex SITE.HEX >/dev/null 2>&1
    "$T" -f site.hex SITE.HEX >/dev/null 2>&1
    "$T" site.hex - 1<>SITE.HEX 2>/dev/null; "$T" -f - site.hex <SITE.HEX 2>/dev/null
    echo 3 >/proc/sys/vm/drop_caches # the driver's own view, not a spelling's cached one
    cmp -s site.hex "$OLD" || fail "site.hex lost its old setup"
}
row_rewritten_while_read() { # in two pieces 60 ms apart, as another program saves it
    cp "$OLD" a.hex && variant >b.hex && "$T" a.hex a16.hex && "$T" b.hex b16.hex || return
    python3 -c '
import os, subprocess, sys, time
a, b = open("a.hex", "rb").read(), open("b.hex", "rb").read()
for _ in range(int(sys.argv[2])):
    open("site.hex", "wb").write(a); time.sleep(0.05)
    f = os.open("site.hex", os.O_WRONLY); os.write(f, b[:len(b) // 2])
    tool = subprocess.Popen([sys.argv[1], "-f", "site.hex", "out.hex"], stderr=subprocess.DEVNULL)
    time.sleep(0.06); os.write(f, b[len(b) // 2:]); os.close(f)
    out = open("out.hex", "rb").read() if tool.wait() == 0 else None
    if out not in (None, open("a16.hex", "rb").read(), open("b16.hex", "rb").read()):
        sys.exit("FAILED: a mix of two setups was converted")' "$T" "${TRIES:-10}"
}
row_saved_again() { # a new file, then replaced, with chmod refused, then kept as a backup
    cp "$OLD" a.hex && variant >b.hex && "$T" a.hex new.hex && chmod 600 new.hex 2>/dev/null
    local strace=()
    command -v strace >/dev/null && [ -z "${UML:-}" ] && strace=(strace -f -qq -o /dev/null -e inject=fchmod:error=ENOSYS)
    "${strace[@]}" "$T" b.hex new.hex && "$T" -b a.hex new.hex || fail "a save was refused" || return
    cmp -s <("$T" a.hex -) new.hex && cmp -s <("$T" b.hex -) new.hex~ || fail "new.hex or new.hex~ is wrong" || return
    no_temporary
}
row_two_machines() { # two mounts of one folder, two saves of site.hex at once: one setup wins
    # (A renames while B writes)
    cp "$OLD" a.hex && variant >b.hex && wait_for "[ -d '$other/${PWD##*/}' ]"
    strace -f -qq -o /dev/null -e inject=renameat:delay_enter=1000000 "$T" a.hex site.hex 2>a.err &
    sleep 0.3
    strace -f -qq -o /dev/null -e inject=write:delay_enter=1500000 "$T" b.hex "$other/${PWD##*/}/site.hex" 2>b.err
    local b=$? won=
    wait $! && cmp -s <("$T" a.hex -) site.hex && won=a
    [ $b = 0 ] && cmp -s <("$T" b.hex -) site.hex && won=b
    [ -n "$won" ] || fail "site.hex holds no setup that was said saved" || return
    ! grep -v "nothing was written" a.err b.err | grep . || fail "a save that did not win said otherwise"
    no_temporary
}
row_pulled_out() { # the driver killed in the middle of a batch; the disk is mounted again after
    local in=$work/in
    mkdir out $in && variant $(for i in $(seq 1000 1999); do echo $((i % 254 + 1)) $in/$i.hex; done)
    stdbuf -oL "$T" -v -j 1 -d out $in/*.hex >"$disk.log" 2>&1 &
    wait_for "[ \$(grep -sc ^converted $disk.log) -ge 100 ]"; pkill -9 -f "^mount.exfat-fuse .* $disk\$"
    wait
    local at=$PWD
    cd "$work" && umount -l "$disk" && mount.exfat-fuse "$(cat "$disk.loop")" "$disk" && cd "$at" && converted "$disk.log" &&
        [ "$(grep -c ^converted "$disk.log")" -lt 1000 ] || fail "the batch was not cut short"
}

# Each row in a folder of its own on the disk at $disk.
rows() {
    local row said=
    if [ -n "${DISK_COMMAND:-}" ]; then # bench/disks.sh: its command instead of the rows
        (cd "$disk" && $DISK_COMMAND "$T" "$OLD" | sed "s|^|$2: |")
        return
    fi
    for row in $1; do
        said=$(mkdir "$disk/$row" 2>&1 && cd "$disk/$row" && $row 2>&1) && echo "$2: ${row#row_}: ok" ||
            echo "$2: ${row#row_}: $(echo "$said" | grep -m1 FAILED || echo "FAILED: $(echo "$said" | tail -1)")"
        rm -rf "${disk:?}/$row"
    done | tee "$disk.rows"
    ! grep -q FAILED "$disk.rows"
}
wait_for() { for _ in $(seq 100); do eval "$1" && return; sleep 0.1; done; false; } # up to 10 s
common="row_two_spellings row_another_spelling row_rewritten_while_read row_saved_again"
if [ "${1:-}" = --inside ]; then # in User-mode Linux: the rows on the FAT disk at $2
    disk=$2; UML=1 TRIES=4 rows "$common" vfat; held=$?
    [ -z "${DISK_COMMAND:-}" ] || { umount $disk && mount -t vfat -o utf8,flush /dev/ubda $disk && rows "" vfat-flush; }
    exit $held
fi

status=0 ran= work=$(mktemp -d /tmp/disks.XXXXXX)
cd "$work"
trap 'cd /; grep -o " $work/[^ ]*" /proc/mounts | sort -r | xargs -r -n1 umount -l; pkill -f "$work" 2>/dev/null; losetup -j "$work/exfat.img" -O NAME -n | xargs -r losetup -d; rm -rf "$work"' EXIT
sshd() { # sshd on 127.0.0.1 serving $1 by SFTP (refusing $2 where given); the port on stdout
    local port=$((22220 + RANDOM % 1000)) k=$work/ssh
    mkdir -p $k /run/sshd && [ -e $k/id ] || ssh-keygen -q -t ed25519 -N '' -f $k/id
    printf 'ListenAddress 127.0.0.1:%s\nHostKey %s/id\nAuthorizedKeysFile %s/id.pub\nPidFile %s/pid.%s\nStrictModes no\nUsePAM no\nSubsystem sftp internal-sftp %s\n' \
        $port $k $k $k $port "${2:+-P $2}" >$k/conf.$port
    /usr/sbin/sshd -f $k/conf.$port && echo $port
}
sshfs_at() { sshfs -p "$1" -o IdentityFile=$work/ssh/id,StrictHostKeyChecking=no,UserKnownHostsFile=/dev/null "root@127.0.0.1:$2" "$3"; }
for kind in ${@:-exfat ntfs sshfs sftp-norename smb vfat}; do
    if [ -n "$(missing ${needs[$kind]})" ] || { [ $kind != vfat ] && [ ! -e /dev/fuse ]; }; then
        echo "SKIPPED $kind: it needs $(missing ${needs[$kind]})/dev/fuse; run as root: tests/disks.sh --install"
        continue
    fi
    ran+=" $kind"
    disk=$work/$kind other=
    mkdir -p "$disk" "$work/srv-$kind"
    case $kind in
    exfat) truncate -s 64M $work/exfat.img && mkfs.exfat $work/exfat.img >/dev/null &&
        losetup -f --show $work/exfat.img >"$disk.loop" && mount.exfat-fuse "$(cat "$disk.loop")" "$disk" ;;
    ntfs) truncate -s 64M $work/ntfs.img && mkntfs -q -F -f $work/ntfs.img >/dev/null 2>&1 && ntfs-3g $work/ntfs.img "$disk" ;;
    sshfs | sftp-norename)
        port=$(sshd "$work/srv-$kind" "$([ $kind = sshfs ] || echo posix-rename)") && sshfs_at $port "$work/srv-$kind" "$disk" &&
            other=$work/$kind-2 && mkdir "$other" && sshfs_at $port "$work/srv-$kind" "$other" ;;
    smb) port=$((4450 + RANDOM % 500)) s=$work/smb-server && mkdir -p $s/{private,lock,state,cache,pid,log,n,h/.smb} &&
        cat >$s/smb.conf <<EOF &&
[global]
interfaces = 127.0.0.1
bind interfaces only = yes
smb ports = $port
disable netbios = yes
server role = standalone server
private dir = $s/private
lock directory = $s/lock
state directory = $s/state
cache directory = $s/cache
pid directory = $s/pid
log file = $s/log/%m.log
passdb backend = tdbsam:$s/private/passdb.tdb
load printers = no
printcap name = /dev/null
disable spoolss = yes
[share]
path = $work/srv-$kind
read only = no
force user = root
EOF
        printf 'pw\npw\n' | smbpasswd -c $s/smb.conf -s -a root >/dev/null &&
        smbd -s $s/smb.conf -D && wait_for "ss -Hltn 'sport = :$port' | grep -q ." &&
        printf 'smb_query_browsers "false"\nauth "root" "pw"\n' >$s/h/.smb/smbnetfs.conf &&
        printf '[global]\nclient min protocol = SMB2\n' >$s/h/.smb/smb.conf && chmod 600 $s/h/.smb/smbnetfs.conf &&
        HOME=$s/h smbnetfs $s/n -o config=$s/h/.smb/smbnetfs.conf,log_file=$s/log/smbnetfs.log && wait_for "[ -d $s/n/127.0.0.1:$port/share ]" &&
        mount --bind "$s/n/127.0.0.1:$port/share" "$disk" ;;
    vfat) truncate -s 64M $work/vfat.img && mkfs.vfat -F 32 $work/vfat.img >/dev/null && cat >$work/init <<EOF && chmod +x $work/init
#!/bin/bash
export PATH=/usr/sbin:/usr/bin:/sbin:/bin QT_NO_CPU_FEATURE="avx avx2 avx512f"
export GLIBC_TUNABLES=glibc.cpu.hwcaps=-AVX,-AVX2,-AVX512F,-AVX512VL,-AVX512BW,-AVX512DQ,-AVX512CD,-AVX_Fast_Unaligned_Load,-ERMS,-FSRM,-BMI1,-BMI2,-LZCNT,-MOVBE,-FMA,-F16C,-XSAVEC,-XSAVE
mount -t proc proc /proc; mount -t sysfs sys /sys; mount -t tmpfs tmp /dev/shm; [ -e /dev/fd ] || ln -s /proc/self/fd /dev/fd
for m in fat/fat fat/vfat nls/nls_cp437 nls/nls_iso8859-1 nls/nls_utf8; do
    perl -e 'open F, "<", \$ARGV[0] or die; my \$p = ""; syscall(313, fileno(F), \$p, 0) == 0 or die' \
        /usr/lib/uml/modules/\$(uname -r)/kernel/fs/\$m.ko
done
mount -t vfat -o utf8 /dev/ubda $disk && DISK_COMMAND="${DISK_COMMAND:-}" $here $T $(dirname "$OLD") --inside $disk >$disk.out 2>&1
echo \$? >$disk.rc; umount $disk
perl -e 'syscall(169, 0xfee1dead, 672274793, 0x4321fedc, 0)'
EOF
        # This User-mode Linux cannot set the registers of a CPU whose XSAVE area outgrows its own
        # (AMX): so refused, it keeps only the SSE ones, and the programs inside use no wider.
        TMPDIR=/dev/shm timeout 600 /usr/bin/python3 -c 'import os, sys, seccomp as s
f = s.SyscallFilter(s.ALLOW)
for r in 0x4204, 0x4205: f.add_rule(s.ERRNO(5), "ptrace", s.Arg(0, s.EQ, r), s.Arg(2, s.EQ, 0x202))
f.load(); os.execvp(sys.argv[1], sys.argv[1:])' linux.uml mem=512M ubd0=$work/vfat.img root=/dev/root rootfstype=hostfs rootflags=/ rw \
            init=$work/init con=null con0=null,fd:1 quiet >/dev/null 2>&1 </dev/null
        cat "$disk.out" 2>/dev/null || echo "vfat: FAILED: User-mode Linux did not run the rows"
        [ "$(cat "$disk.rc" 2>/dev/null)" = 0 ] || status=1
        continue ;;
    esac || { echo "SKIPPED $kind: this machine could not mount it, as said above"; continue; }
    extra=$([ -n "$other" ] && echo row_two_machines; [ $kind = exfat ] && echo row_pulled_out)
    rows "$common $extra" $kind || status=1
done
[ -z "$ran" ] && exit 77
exit $status
