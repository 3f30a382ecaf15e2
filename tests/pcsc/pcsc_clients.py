#!/usr/bin/env python3
"""Real PC/SC clients on the driver: `ccidsim serve` starts pcscd with the PC/SC bridge on
a private socket, and unmodified applications (scriptor, opensc-tool, pyscard programs)
use the reader it serves. Each case ends by stopping pcscd with SIGINT, as a user's Ctrl-C
does, and requires the bridge's verdict on the driver's session to be clean.

Usage: pcsc_clients.py CCIDSIM CASE   (CASE: scriptor-t0, scriptor-t1, pyscard-session,
opensc, opensc-vicc, pinpad, profiles). Exit status 77: pcscd or a client is not installed (skip).
"""
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading

SKIP = 77
SELECT_APP = [0x00, 0xA4, 0x04, 0x00, 0x08, 0xF0, 0x43, 0x43, 0x49, 0x44, 0x53, 0x49, 0x4D]
SELECT_APP_HEX = "00 A4 04 00 08 F0 43 43 49 44 53 49 4D"
# How long pcscd may take to come up (it loads the bridge, which starts the stack): the
# only real-time wait, for the socket to appear.
START_PATIENCE = 30
# vicc, the vsmartcard project's card emulator, as Debian packages it.
VICC = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools", "vicc.sh")


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


class Served:
    """`ccidsim serve --reader R --card C` for the duration of a with-block."""

    def __init__(self, ccidsim, reader, card):
        self.ccidsim, self.reader, self.card = ccidsim, reader, card

    def __enter__(self):
        self.dir = tempfile.mkdtemp(prefix="ccid-pcsc-")
        self.log_path = os.path.join(self.dir, "serve.log")
        self.log = open(self.log_path, "w")
        self.process = subprocess.Popen(
            [self.ccidsim, "serve", "--reader", self.reader, "--card", self.card, "--dir", self.dir],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        # serve says "ready" once pcscd's socket is there, and names it; a thread copies
        # its output to the log and signals that line (or serve's end) as it comes.
        self.ready = threading.Event()
        self.copier = threading.Thread(target=self.copy_output, daemon=True)
        self.copier.start()
        if not self.ready.wait(START_PATIENCE) or "\nready\n" not in self.output():
            self.process.kill()
            raise Failure(f"pcscd did not come up for {self.reader}:\n{self.output()}")
        os.environ["PCSCLITE_CSOCK_NAME"] = re.search(r"PCSCLITE_CSOCK_NAME=(\S+)", self.output()).group(1)
        return self

    def control(self, *command):
        """One command to the bridge's control socket; returns once the driver saw it."""
        result = subprocess.run([self.ccidsim, "serve-control", "--dir", self.dir, *command],
                                capture_output=True, text=True, timeout=60)
        check(result.returncode == 0, f"serve-control {' '.join(command)}: {result.stdout}{result.stderr}")

    def copy_output(self):
        for line in self.process.stdout:
            self.log.write(line)
            self.log.flush()
            if line == "ready\n":
                self.ready.set()
        self.ready.set()  # serve ended

    def output(self):
        with open(self.log_path) as log:
            return log.read()

    def __exit__(self, kind, value, trace):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
            try:
                self.process.wait(timeout=60)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.copier.join()
        text = self.output()
        self.log.close()
        shutil.rmtree(self.dir, ignore_errors=True)
        if kind is Failure:
            raise Failure(f"{value}\nccidsim serve said:\n{text}") from None
        if kind is None:
            check(self.process.returncode == 0, f"ccidsim serve ended with {self.process.returncode}:\n{text}")
            check("verdict: clean" in text, f"the bridge's verdict on {self.reader} is not clean:\n{text}")
        return False


def run(command, stdin=None):
    result = subprocess.run(command, input=stdin, capture_output=True, text=True, timeout=60)
    check(result.returncode == 0, f"{' '.join(command)} failed ({result.returncode}):\n{result.stdout}{result.stderr}")
    return result.stdout


def scriptor_case(ccidsim, card, protocol_line):
    """scriptor on a script of APDUs: select, read, challenge, a reset, select again."""
    script = "\n".join(["reset", SELECT_APP_HEX, "00 A4 02 0C 02 50 01", "00 B0 00 00 10", "00 84 00 00 08",
                        "reset", SELECT_APP_HEX, "exit"]) + "\n"
    with Served(ccidsim, "tpdu-basic", card):
        out = run(["scriptor"], stdin=script)
    check(protocol_line in out, f"scriptor did not use {protocol_line}:\n{out}")
    answers = scriptor_answers(out)
    check(len(answers) == 5, f"scriptor saw {len(answers)} answers, not 5:\n{out}")
    # T=0 leaves the 61xx of a case-4 SELECT to the application; T=1 returns the data.
    select_sw = answers[0][-2]
    check(select_sw == ("61" if card == "t0" else "90"), f"the SELECT answered {answers[0]}")
    check(answers[4][-2] == select_sw, f"the SELECT after the reset answered {answers[4]}")
    check(answers[1] == ["90", "00"], f"SELECT EF: {answers[1]}")
    check(len(answers[2]) == 18 and answers[2][-2:] == ["90", "00"], f"READ BINARY: {answers[2]}")
    check(len(answers[3]) == 10 and answers[3][-2:] == ["90", "00"], f"GET CHALLENGE: {answers[3]}")


def scriptor_answers(out):
    """The card's answers in scriptor's output (lines after "< ", wrapped at 16 bytes),
    as lists of hex bytes; the answers to "reset" ("< OK: ATR") are left out."""
    answers, current = [], None
    for line in out.splitlines():
        if line.startswith("> "):
            current = None
        elif line.startswith("< "):
            current = [line[2:]]
            answers.append(current)
        elif current is not None:
            current.append(line)
    texts = [" ".join(lines) for lines in answers]
    return [text.split(" :")[0].split() for text in texts if not text.startswith("OK")]


def pyscard_session(ccidsim):
    """Connect, transmit, reconnect with a reset, and follow a removal and an insertion."""
    from smartcard.scard import (SCardEstablishContext, SCardListReaders, SCardConnect, SCardTransmit,
                                 SCardReconnect, SCardDisconnect, SCardStatus, SCardGetStatusChange,
                                 SCardReleaseContext, SCARD_SCOPE_USER, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0,
                                 SCARD_PROTOCOL_T1, SCARD_PCI_T0, SCARD_PCI_T1, SCARD_RESET_CARD, SCARD_LEAVE_CARD,
                                 SCARD_STATE_PRESENT, SCARD_STATE_EMPTY, SCARD_STATE_UNAWARE, SCARD_STATE_CHANGED,
                                 SCARD_S_SUCCESS)
    with Served(ccidsim, "tpdu-basic", "dual") as served:
        rv, context = SCardEstablishContext(SCARD_SCOPE_USER)
        check(rv == SCARD_S_SUCCESS, f"SCardEstablishContext: {rv:#x}")
        rv, readers = SCardListReaders(context, [])
        check(rv == SCARD_S_SUCCESS and len(readers) == 1, f"readers: {rv:#x} {readers}")
        reader = readers[0]

        def connect(protocols):
            rv, card, active = SCardConnect(context, reader, SCARD_SHARE_SHARED, protocols)
            check(rv == SCARD_S_SUCCESS, f"SCardConnect: {rv:#x}")
            return card, active

        def transmit(card, active, apdu):
            rv, answer = SCardTransmit(card, SCARD_PCI_T1 if active == SCARD_PROTOCOL_T1 else SCARD_PCI_T0, apdu)
            check(rv == SCARD_S_SUCCESS, f"SCardTransmit: {rv:#x}")
            return answer

        card, active = connect(SCARD_PROTOCOL_T1)
        check(active == SCARD_PROTOCOL_T1, f"T=1 asked, {active} active")
        check(transmit(card, active, SELECT_APP)[-2:] == [0x90, 0x00], "SELECT under T=1")
        challenge = transmit(card, active, [0x00, 0x84, 0x00, 0x00, 0x08])
        check(len(challenge) == 10 and challenge[-2:] == [0x90, 0x00], f"GET CHALLENGE: {challenge}")
        rv, _, _, _, atr = SCardStatus(card)
        check(rv == SCARD_S_SUCCESS and atr and atr[0] in (0x3B, 0x3F), f"SCardStatus: {rv:#x} {atr}")

        # A reset and a change of protocol: SCardReconnect resets the card and selects T=0.
        rv, active = SCardReconnect(card, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0, SCARD_RESET_CARD)
        check(rv == SCARD_S_SUCCESS and active == SCARD_PROTOCOL_T0, f"SCardReconnect: {rv:#x} {active}")
        answer = transmit(card, active, SELECT_APP)
        check(answer[0] == 0x61, f"SELECT under T=0 after the reset: {answer}")
        SCardDisconnect(card, SCARD_LEAVE_CARD)

        def wait_for(flag, action):
            rv, states = SCardGetStatusChange(context, 0, [(reader, SCARD_STATE_UNAWARE)])
            check(rv == SCARD_S_SUCCESS, f"SCardGetStatusChange: {rv:#x}")
            current = states[0][1] & ~SCARD_STATE_CHANGED
            mover = threading.Thread(target=action)
            mover.start()
            rv, states = SCardGetStatusChange(context, 60000, [(reader, current)])
            mover.join()
            check(rv == SCARD_S_SUCCESS, f"SCardGetStatusChange waiting: {rv:#x}")
            check(states[0][1] & flag, f"the reader's state is {states[0][1]:#x}")
            return states[0][2]

        wait_for(SCARD_STATE_EMPTY, lambda: served.control("remove"))
        atr = wait_for(SCARD_STATE_PRESENT, lambda: served.control("insert", "t1-ifsc32"))
        check(atr and atr[0] == 0x3B, f"the new card's ATR: {atr}")
        card, active = connect(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1)
        check(active == SCARD_PROTOCOL_T1, f"the T=1 card runs {active}")
        check(transmit(card, active, SELECT_APP)[-2:] == [0x90, 0x00], "SELECT on the new card")
        SCardDisconnect(card, SCARD_LEAVE_CARD)
        SCardReleaseContext(context)


def opensc_case(ccidsim):
    """opensc-tool reads the ATR and sends APDUs, on a card named by its ATR (the colons of
    atr:<hex> in reader.conf's DEVICENAME must not be taken for field separators) and on a
    T=1 card."""
    with Served(ccidsim, "apdu-short", "atr:3B021450"):
        atr = run(["opensc-tool", "--reader", "0", "--atr"]).strip().splitlines()[-1]
        check(atr.lower() == "3b:02:14:50", f"opensc-tool --atr: {atr}")
        out = run(["opensc-tool", "--reader", "0", "--send-apdu", "00:84:00:00:08"])
        check(out.count("SW1=0x90, SW2=0x00") == 1, f"opensc-tool --send-apdu:\n{out}")
    with Served(ccidsim, "apdu-short", "t1-ifsc32"):
        atr = run(["opensc-tool", "--reader", "0", "--atr"]).strip().splitlines()[-1]
        check(re.fullmatch(r"3b(:[0-9a-f]{2})+", atr.lower()) is not None, f"opensc-tool --atr: {atr}")
        out = run(["opensc-tool", "--reader", "0", "--send-apdu", SELECT_APP_HEX.replace(" ", ":"),
                   "--send-apdu", "00:84:00:00:08"])
        check(out.count("SW1=0x90, SW2=0x00") == 2, f"opensc-tool --send-apdu:\n{out}")


def opensc_vicc_case(ccidsim):
    """vicc as the card of a PIN-pad reader: opensc-tool reads its answer to reset and, on
    the emulator's (empty) file system, creates a file, selects it and reads it back."""
    with socket.socket() as probe:  # a free port for the reader's vpcd side
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    with Served(ccidsim, "pinpad-lcd", f"vpcd:{port}"):
        vicc = subprocess.Popen(["/bin/sh", VICC, "-P", str(port)], stdout=subprocess.DEVNULL,
                                stderr=subprocess.STDOUT)
        try:
            atr = run(["opensc-tool", "--reader", "0", "--atr"]).strip().splitlines()[-1]
            # Select the MF, create EF 1001 of 8 bytes with its content, select it, read it.
            apdus = ["00:A4:00:0C:02:3F:00",
                     "00:E0:00:00:19:62:17:80:01:08:82:01:01:83:02:10:01:54:01:00:53:08:01:02:03:04:05:06:07:08",
                     "00:A4:02:0C:02:10:01", "00:B0:00:00:08"]
            out = run(["opensc-tool", "--reader", "0"] + [arg for apdu in apdus for arg in ("--send-apdu", apdu)])
        finally:
            vicc.terminate()
            vicc.wait()
    check(atr.lower() == "3b:95:13:81:01:80:73:ff:01:00:0b", f"opensc-tool --atr: {atr}")
    check(out.count("SW1=0x90, SW2=0x00") == 4 and "\n01 02 03 04 05 06 07 08 " in out,
          f"opensc-tool --send-apdu:\n{out}")


def pinpad_case(ccidsim):
    """The part 10 feature list and PIN verifications on the keypad through SCardControl."""
    from smartcard.scard import (SCardEstablishContext, SCardListReaders, SCardConnect, SCardControl,
                                 SCardTransmit, SCardDisconnect, SCardReleaseContext, SCARD_SCOPE_USER,
                                 SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0, SCARD_PCI_T0, SCARD_LEAVE_CARD,
                                 SCARD_S_SUCCESS, SCARD_CTL_CODE)
    with Served(ccidsim, "pinpad-lcd", "t0") as served:
        _, context = SCardEstablishContext(SCARD_SCOPE_USER)
        _, readers = SCardListReaders(context, [])
        rv, card, _ = SCardConnect(context, readers[0], SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0)
        check(rv == SCARD_S_SUCCESS, f"SCardConnect: {rv:#x}")

        rv, tlvs = SCardControl(card, SCARD_CTL_CODE(3400), [])
        check(rv == SCARD_S_SUCCESS, f"the feature request: {rv:#x}")
        features = {}
        for at in range(0, len(tlvs) - 5, 6):
            check(tlvs[at + 1] == 4, f"feature list {tlvs}")
            features[tlvs[at]] = int.from_bytes(bytes(tlvs[at + 2:at + 6]), "big")
        # Every code is pcsc-lite's SCARD_CTL_CODE, none the driver's Windows one.
        check(features and all(code & 0xFF000000 == 0x42000000 for code in features.values()),
              "feature codes " + ", ".join(f"{tag:#x}={code:#010x}" for tag, code in features.items()))
        for tag in (0x06, 0x07, 0x0A, 0x0B, 0x12, 0x13):  # verify, modify, PIN properties, abort, TLV, escape
            check(tag in features, f"feature {tag:#x} missing from {sorted(features)}")

        rv, properties = SCardControl(card, features[0x12], [])
        check(rv == SCARD_S_SUCCESS and len(properties) > 0, f"TLV properties: {rv:#x} {properties}")
        rv, version = SCardControl(card, features[0x13], [0x01])  # the reader's escape: its version
        check(rv == SCARD_S_SUCCESS and version and all(0x20 <= b < 0x7F for b in version), f"escape: {rv:#x} {version}")
        rv, _ = SCardControl(card, features[0x0B], [0x00])  # abort on slot 0, nothing running
        check(rv == SCARD_S_SUCCESS, f"abort: {rv:#x}")
        # The driver's own Windows code does not pass through.
        rv, _ = SCardControl(card, 0x00FD65F8, [])
        check(rv != SCARD_S_SUCCESS, "a Windows control code reached the driver unchanged")

        rv, answer = SCardTransmit(card, SCARD_PCI_T0, SELECT_APP)
        check(rv == SCARD_S_SUCCESS and answer[0] == 0x61, f"SELECT: {rv:#x} {answer}")
        # PIN_VERIFY_STRUCTURE: 15 s, ASCII in bytes, 8-byte block, 4 to 8 digits, OK key,
        # one message, English; VERIFY P2=81 with an 8-byte template.
        apdu = [0x00, 0x20, 0x00, 0x81, 0x08] + [0xFF] * 8
        verify = [15, 0, 0x82, 0x08, 0x00, 0x08, 0x04, 0x02, 0x01, 0x09, 0x04, 0x00, 0, 0, 0]
        verify += list(len(apdu).to_bytes(4, "little")) + apdu
        for keys, expected in (("1234#", [0x90, 0x00]), ("9999#", [0x63, 0xC2]), ("19*234#", [0x90, 0x00])):
            served.control("keys", keys)
            rv, answer = SCardControl(card, features[0x06], verify)
            check(rv == SCARD_S_SUCCESS and answer == expected, f"PIN {keys}: {rv:#x} {answer}")
        SCardDisconnect(card, SCARD_LEAVE_CARD)
        SCardReleaseContext(context)


# The card each reader runs its example script with; "dual" for any other reader.
PROFILE_CARDS = {
    "apdu-short": "t1-ifsc32", "composite-second": "specific-t1", "composite": "t1-ifsc254", "config-521": "t1-crc",
    "config-522": "inverse", "five-volt-only": "t0", "long-config": "many-wtx", "pinpad-lcd": "t0",
    "pinpad-tpdu": "t0-bytewise", "pinpad-verify-modify": "t1-ifsc254", "small-messages": "t1-ifsc32",
    "t1-only": "t1-crc", "wakeup": "3v-only",
}
# Readers without the three endpoints (bulk-out, bulk-in, interrupt-in) the driver needs:
# it refuses to start them, so pcscd offers no reader and the bridge says why.
REFUSED = {"no-interrupt-pipe", "character-level"}


def challenge_client(_):
    """A pyscard program: connect with either protocol and ask for a challenge."""
    from smartcard.scard import (SCardEstablishContext, SCardListReaders, SCardConnect, SCardTransmit,
                                 SCardDisconnect, SCardReleaseContext, SCARD_SCOPE_USER, SCARD_SHARE_SHARED,
                                 SCARD_PROTOCOL_T0, SCARD_PROTOCOL_T1, SCARD_PCI_T0, SCARD_PCI_T1,
                                 SCARD_UNPOWER_CARD, SCARD_S_SUCCESS)
    rv, context = SCardEstablishContext(SCARD_SCOPE_USER)
    check(rv == SCARD_S_SUCCESS, f"SCardEstablishContext: {rv:#x}")
    rv, readers = SCardListReaders(context, [])
    check(rv == SCARD_S_SUCCESS and len(readers) == 1, f"readers: {rv:#x} {readers}")
    rv, handle, active = SCardConnect(context, readers[0], SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1)
    check(rv == SCARD_S_SUCCESS, f"SCardConnect: {rv:#x}")
    pci = SCARD_PCI_T1 if active == SCARD_PROTOCOL_T1 else SCARD_PCI_T0
    rv, answer = SCardTransmit(handle, pci, [0x00, 0x84, 0x00, 0x00, 0x08])
    check(rv == SCARD_S_SUCCESS and len(answer) == 10 and answer[-2:] == [0x90, 0x00],
          f"GET CHALLENGE: {rv:#x} {answer}")
    SCardDisconnect(handle, SCARD_UNPOWER_CARD)
    SCardReleaseContext(context)


def profiles_case(ccidsim):
    """Every built-in reader profile served, and a pyscard program's session on it (each
    its own process: pcsc-lite's client library keeps the first socket name it used)."""
    listing = run([ccidsim, "readers"]).splitlines()[1:]
    profiles = [line.split()[0] for line in listing if line.strip()]
    check(len(profiles) >= 10, f"`ccidsim readers` listed {profiles}")
    failures = []
    for profile in profiles:
        card = PROFILE_CARDS.get(profile, "dual")
        try:
            with Served(ccidsim, profile, card) as served:
                client = [sys.executable, os.path.abspath(__file__), ccidsim, "challenge-client"]
                if profile in REFUSED:
                    result = subprocess.run(client, capture_output=True, text=True, timeout=60)
                    check("readers: 0x8010002e" in result.stdout, f"the client saw: {result.stdout}")
                    check("the driver did not start the reader (0xc000009a)" in served.output(),
                          f"the bridge did not report the refusal:\n{served.output()}")
                else:
                    run(client)
            print(f"{profile} ({card}): ok", flush=True)
        except Failure as failure:
            failures.append(f"{profile} ({card}): {failure}")
    check(not failures, "\n".join(failures))


CASES = {
    "scriptor-t0": lambda ccidsim: scriptor_case(ccidsim, "t0", "Using T=0 protocol"),
    "scriptor-t1": lambda ccidsim: scriptor_case(ccidsim, "t1-ifsc32", "Using T=1 protocol"),
    "pyscard-session": pyscard_session,
    "opensc": opensc_case,
    "opensc-vicc": opensc_vicc_case,
    "pinpad": pinpad_case,
    "profiles": profiles_case,
    "challenge-client": challenge_client,
}


def main():
    if len(sys.argv) != 3 or sys.argv[2] not in CASES:
        print(__doc__, file=sys.stderr)
        return 2
    needed = {"scriptor-t0": ["scriptor"], "scriptor-t1": ["scriptor"], "opensc": ["opensc-tool"],
              "opensc-vicc": ["opensc-tool", "vicc"]}.get(sys.argv[2], [])
    if shutil.which("pcscd") is None and not os.path.exists("/usr/sbin/pcscd") or not all(map(shutil.which, needed)):
        print("pcscd, the client or the card emulator is not installed (scripts/setup installs them)")
        return SKIP
    if sys.argv[2] in ("pyscard-session", "pinpad", "profiles", "challenge-client"):
        try:
            import smartcard.scard  # noqa: F401
        except ImportError:
            print("pyscard is not installed (scripts/setup installs python3-pyscard)")
            return SKIP
    try:
        CASES[sys.argv[2]](os.path.abspath(sys.argv[1]))
    except Failure as failure:
        print(f"FAILED: {failure}")
        return 1
    print("passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
