#!/usr/bin/env python3
"""Runs guest cases in ONE boot of Debian 12's own kernel under QEMU, each with a fresh emulated
DS9490R (build/ds2490-usbip) attached through vhci-hcd and usbip.

    vm_run.py --build BUILD [--source SRC] [--kernel DIR] [CASE...]

CASEs are executables (any language), anywhere but under /tmp, /run, /var/tmp or /dev/shm (the
guest has its own); without any, every executable in tests/vm/cases/ runs, in name order. Exit status 0 when every case passed, 1 otherwise, 77 (a skip) only where QEMU
cannot run at all. It prints each case's verdict and output, and closes with
"vm: N passed, N failed".

HOW TO ADD A CASE: put an executable file into tests/vm/cases/ (e.g. `w1_netlink_search.sh`, or
a Python script with `#!/usr/bin/python3` -- use that path, the PATH one may be a shim). The
CTest test vm_usb (tests/vm/CMakeLists.txt) then runs it with the others in the same boot.
Options go into comment lines near the top of the file, `# vm: KEY=VALUE`:
    # vm: ds2490=no                 don't load the kernel's ds2490 driver (default: yes); the
                                    adapter is then free for libusb (owserver, a backend)
    # vm: wire=timeout=1 slave_ttl=2  parameters for the `wire` module (default: none, i.e.
                                    the kernel's own: a search every 10 s)
    # vm: tokens=HEX HEX            the bus's tokens when the case starts (16 hex digits each,
                                    ROM order: family first, CRC last; default: none)
    # vm: timeout=SECONDS           the case's time limit (default 60)
    # vm: emulator=--paced          more arguments for ds2490-usbip (--paced: the chip takes
                                    each command's bus time in real time)

WHAT A CASE MAY ASSUME (it runs as root in the guest, the host's / read-only over 9p, cwd /tmp):
  - the emulator runs, attached and enumerated; with ds2490 loaded, W1_MASTER names its bus
    master (/sys/bus/w1/devices/w1_bus_master1) and it exists; without it, USB_DEVICE names the
    device's sysfs folder (with busnum/devnum: /dev/bus/usb/BBB/DDD exists);
  - `$EMULATOR_CTL add HEX` / `remove HEX` / `tokens HEX...` / `list` / `short on|off` /
    `stall EP` / `silent EP on|off` / `unplug` / `unplug-after N` / `stats` talk to the
    emulator (see tests/usb/ds2490_usbip.cpp); after `unplug`, `usbip attach -r 127.0.0.1 -b
    1-1` plugs it in again (`$VM_ATTACH` does that and waits for the device; the kernel then
    adds the bus master anew, so look its number up again: w1_bus_master*);
  - every transfer the emulator completed is in RESULT_DIR/usb-trace.log afterwards;
  - `$AS_USER CMD...` runs CMD as the unprivileged user nobody (uid/gid 65534, no groups);
  - SOURCE_DIR is the host's tree (read-only); BUILD_DIR holds copies of the build's programs
    the cases run (USER_PROGRAMS below), where the unprivileged user reaches them; RESULT_DIR is a
    writable folder whose files come back to the host (kept under BUILD/vm-results/CASE/);
  - MODPROBE is `modprobe -d KERNEL_TREE`, for any other module of the guest's kernel;
  - the guest is slow (TCG): count passes, not milliseconds; only loopback exists;
  - exit 0 is a pass, anything else a failure; stop what you start (trap ... EXIT): the
    harness ends the emulator and detaches the device after each case, nothing else.
"""
import argparse
import os
import shutil
import stat
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_CACHE = os.environ.get("QUORNA_VM_CACHE", "/var/cache/quorna-fobit-reader/vm")
QEMU = "qemu-system-x86_64"
# The build's programs the cases run (as the unprivileged user among others), and where the
# guest finds their copies: BUILD_DIR there.
USER_PROGRAMS = ["quorna-reader-check", "libonewire.so.1", "w1_pass_client", "librefuse_netlink.so"]
GUEST_PROGRAMS = "/tmp/vm-results/programs"

# What the initramfs needs to mount the host's root over 9p.
BOOT_MODULES = ["virtio_pci", "9pnet_virtio", "9p"]
SKIP = 77


def case_options(path):
    options = {"ds2490": "yes", "wire": "", "tokens": "", "timeout": "60", "emulator": ""}
    try:
        with open(path, errors="replace") as f:
            head = [next(f, "") for _ in range(30)]
    except OSError:
        return options
    for line in head:
        line = line.strip()
        for prefix in ("# vm:", "// vm:"):
            if line.startswith(prefix):
                key, _, value = line[len(prefix):].strip().partition("=")
                options[key.strip()] = value.strip()
    return options


def module_closure(tree, version, names):
    """The .ko files (relative to the modules folder) of `names` and what they need, dependencies
    first, from modules.dep."""
    base = os.path.join(tree, "lib", "modules", version)
    deps = {}
    with open(os.path.join(base, "modules.dep")) as f:
        for line in f:
            module, _, needs = line.partition(":")
            deps[module.strip()] = needs.split()
    by_name = {os.path.basename(m).split(".ko")[0].replace("-", "_"): m for m in deps}
    order = []

    def visit(module):
        if module in order:
            return
        for need in reversed(deps[module]):
            visit(need)
        order.append(module)

    for name in names:
        visit(by_name[name.replace("-", "_")])
    return base, order


def make_initramfs(tree, version, workdir):
    root = os.path.join(workdir, "initramfs")
    for d in ("bin", "dev", "proc", "sys", "newroot", "modules"):
        os.makedirs(os.path.join(root, d), exist_ok=True)
    shutil.copy("/bin/busybox", os.path.join(root, "bin", "busybox"))
    for applet in ("sh", "mount", "insmod", "mkdir", "chroot", "poweroff", "ip", "cat", "sleep"):
        os.symlink("busybox", os.path.join(root, "bin", applet))
    base, modules = module_closure(tree, version, BOOT_MODULES)
    names = []
    for module in modules:
        name = os.path.basename(module)
        shutil.copy(os.path.join(base, module), os.path.join(root, "modules", name))
        names.append(name)
    init = os.path.join(root, "init")
    with open(init, "w") as f:
        f.write(INIT_SCRIPT.replace("@MODULES@", " ".join(names)))
    os.chmod(init, 0o755)
    image = os.path.join(workdir, "initramfs.cpio")
    listing = subprocess.run(["find", "."], cwd=root, capture_output=True, check=True).stdout
    with open(image, "wb") as out:
        subprocess.run(["cpio", "-o", "-H", "newc", "--quiet"], cwd=root, input=listing,
                       stdout=out, check=True)
    return image


# The initramfs's init: the host's / read-only over 9p, writable tmpfs where programs write,
# the results share, then the guest script in a chroot, and off.
INIT_SCRIPT = r"""#!/bin/sh
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
for m in @MODULES@; do insmod /modules/$m || echo "init: insmod $m failed"; done
opts=trans=virtio,version=9p2000.L,msize=262144
if ! mount -t 9p -o ro,$opts,cache=loose hostroot /newroot; then
  echo "init: cannot mount the host's root"; poweroff -f
fi
for d in tmp run var/tmp dev/shm; do mount -t tmpfs -o mode=1777 tmpfs /newroot/$d; done
mount -t proc proc /newroot/proc
mount -t sysfs sys /newroot/sys
mount -t devtmpfs dev /newroot/dev
mkdir -p /newroot/dev/pts /newroot/dev/shm
mount -t tmpfs -o mode=1777 tmpfs /newroot/dev/shm
mount -t devpts devpts /newroot/dev/pts
mkdir -p /newroot/tmp/vm-results
mount -t 9p -o $opts results /newroot/tmp/vm-results
ip link set lo up
chroot /newroot /bin/sh /tmp/vm-results/guest.sh
echo "init: guest script ended ($?)"
poweroff -f
"""


def qemu_runs():
    try:
        out = subprocess.run([QEMU, "--version"], capture_output=True, timeout=30)
    except (OSError, subprocess.TimeoutExpired) as e:
        return "cannot start %s: %s" % (QEMU, e)
    if out.returncode != 0:
        return "%s --version failed: %s" % (QEMU, out.stderr.decode(errors="replace").strip())
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--source", default=os.path.dirname(os.path.dirname(HERE)))
    parser.add_argument("--kernel", default=os.path.join(DEFAULT_CACHE, "current"))
    parser.add_argument("--memory", default="256")
    parser.add_argument("cases", nargs="*")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    source = os.path.abspath(args.source)

    reason = qemu_runs()
    if reason:
        print("vm: skipped: " + reason)
        return SKIP
    kernel_tree = os.path.realpath(args.kernel)
    version_file = os.path.join(kernel_tree, "version")
    if not os.path.isfile(version_file):
        print("vm: no kernel in %s: run scripts/install-deps.sh (as root), which fetches it "
              "with scripts/fetch-vm-kernel.sh" % args.kernel)
        return 1
    with open(version_file) as f:
        version = f.read().strip()
    emulator = os.path.join(build, "ds2490-usbip")
    if not os.access(emulator, os.X_OK):
        print("vm: no emulator at %s: build the target ds2490-usbip" % emulator)
        return 1

    cases_dir = os.path.join(HERE, "cases")
    cases = [os.path.abspath(c) for c in args.cases] or sorted(
        os.path.join(cases_dir, n) for n in os.listdir(cases_dir)
        if os.access(os.path.join(cases_dir, n), os.X_OK)
        and stat.S_ISREG(os.stat(os.path.join(cases_dir, n)).st_mode))
    if not cases:
        print("vm: no cases")
        return 1
    # The guest has fresh tmpfs on these: a case kept there is not seen inside.
    hidden = ("/tmp/", "/run/", "/var/tmp/", "/dev/shm/")
    for case in cases:
        if os.path.realpath(case).startswith(hidden):
            print("vm: %s: the guest cannot see it (its %s is its own): keep cases elsewhere"
                  % (case, "/" + os.path.realpath(case).split("/")[1]))
            return 1

    results_root = os.path.join(build, "vm-results")
    os.makedirs(results_root, exist_ok=True)
    with tempfile.TemporaryDirectory(dir=results_root, prefix="run-") as share, \
            tempfile.TemporaryDirectory(prefix="quorna-vm-") as work:
        shutil.copy(os.path.join(HERE, "guest.sh"), os.path.join(share, "guest.sh"))
        # What the cases run as the unprivileged user, copied where that user can reach it: the
        # tree may lie in a home only its owner can enter (Debian 12 makes homes 0700).
        programs = os.path.join(share, "programs")
        os.mkdir(programs)
        for name in USER_PROGRAMS:
            shutil.copy(os.path.join(build, name), os.path.join(programs, name))
        os.chmod(share, 0o755)
        os.chmod(programs, 0o755)
        total_timeout = 60
        with open(os.path.join(share, "cases.list"), "w") as f:
            for case in cases:
                o = case_options(case)
                name = os.path.basename(case)
                total_timeout += int(o["timeout"]) + 20
                # One case a line: name, path, then the options, separated by "|".
                f.write("|".join([name, case, o["ds2490"], o["wire"], o["tokens"],
                                   o["timeout"], o["emulator"]]) + "\n")
        with open(os.path.join(share, "config.sh"), "w") as f:
            f.write("KERNEL_TREE='%s'\nEMULATOR='%s'\nSOURCE_DIR='%s'\nBUILD_DIR='%s'\n"
                    % (kernel_tree, emulator, source, GUEST_PROGRAMS))
        initramfs = make_initramfs(kernel_tree, version, work)
        command = [
            QEMU, "-accel", "tcg", "-cpu", "max", "-m", args.memory, "-smp", "1",
            "-nographic", "-no-reboot", "-nic", "none", "-monitor", "none",
            "-kernel", os.path.join(kernel_tree, "boot", "vmlinuz-" + version),
            "-initrd", initramfs,
            "-append", "console=ttyS0 panic=-1 rdinit=/init quiet loglevel=4",
            "-virtfs", "local,path=/,mount_tag=hostroot,security_model=none,readonly=on,"
                       "multidevs=remap",
            "-virtfs", "local,path=%s,mount_tag=results,security_model=none" % share,
        ]
        started = time.monotonic()
        console_path = os.path.join(share, "console.log")
        with open(console_path, "wb") as console:
            qemu = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=console,
                                    stderr=subprocess.STDOUT)
            try:
                qemu.wait(timeout=total_timeout)
            except subprocess.TimeoutExpired:
                qemu.kill()
                qemu.wait()
                print("vm: QEMU still ran after %d s: stopped" % total_timeout)
        elapsed = time.monotonic() - started
        passed = failed = 0
        for case in cases:
            name = os.path.basename(case)
            rc_path = os.path.join(share, name + ".rc")
            log_path = os.path.join(share, name + ".log")
            rc = open(rc_path).read().strip() if os.path.exists(rc_path) else "never ran"
            log = open(log_path, errors="replace").read() if os.path.exists(log_path) else ""
            verdict = "passed" if rc == "0" else "FAILED (%s)" % rc
            if rc == "0":
                passed += 1
            else:
                failed += 1
            print("=== %s: %s" % (name, verdict))
            print(log.rstrip())
            kept = os.path.join(results_root, name)
            shutil.rmtree(kept, ignore_errors=True)
            if os.path.isdir(os.path.join(share, name)):
                shutil.copytree(os.path.join(share, name), kept)
        with open(console_path, errors="replace") as f:
            console_text = f.read()
        shutil.copy(console_path, os.path.join(results_root, "console.log"))
        if failed or "guest: all cases done" not in console_text:
            print("=== console (last 60 lines)")
            print("\n".join(console_text.splitlines()[-60:]))
        print("vm: one boot, %d case(s), %.1f s of wall time" % (len(cases), elapsed))
        print("vm: %d passed, %d failed" % (passed, failed))
        return 0 if failed == 0 and passed == len(cases) else 1


if __name__ == "__main__":
    sys.exit(main())
