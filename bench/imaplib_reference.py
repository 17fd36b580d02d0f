#!/usr/bin/env python3
"""quendravalt-cli's work on one INBOX done with Python's imaplib alone, the
figure bench/CliVersusImaplibBench.cpp compares the command line with.

LOGIN, SELECT INBOX (no CAPABILITY: Dovecot's LOGIN answer has them), UID SEARCH BEFORE, then UID FETCH of what the
manifest records in sets of at most 7,936 bytes (the run's), with --archive
after each set the whole messages, at most 100 or 32 MiB a FETCH, each
written to a file, synced and renamed into place as the run's copies are;
then UID STORE and UID EXPUNGE over the same sets. The rows go to a spool
file as fetched and to the manifest as each EXPUNGE set is confirmed, synced.
It sleeps --pause-ms after every step the run paces (the connection, each
command; the STORE sets together, the EXPUNGE sets together).

Standard library only. The password comes from QUENDRAVALT_PASSWORD. Writes
each command it sent (a set shortened to its first range) with the time to
its answer, and a summary line, to standard output.
"""
import argparse
import csv
import hashlib
import imaplib
import os
import re
import sys
import time

MAX_SET = 8000 - 64  # the run's longest set: its command line, less tag, verb and items
INFO_ITEMS = "(UID FLAGS INTERNALDATE RFC822.SIZE BODY.PEEK[HEADER.FIELDS (MESSAGE-ID DATE FROM SUBJECT)])"
BODY_ITEMS = "(UID BODY.PEEK[])"
MAX_BODIES = 100
MAX_BODY_BYTES = 32 << 20


def message_sets(uids, max_length):
    """Sorted UIDs as sets of "a:b" ranges no longer than max_length, and the
    number of UIDs in each."""
    sets, counts, current, count, i = [], [], "", 0, 0
    while i < len(uids):
        j = i
        while j + 1 < len(uids) and uids[j + 1] == uids[j] + 1:
            j += 1
        run = "%d:%d" % (uids[i], uids[j])
        if current and len(current) + 1 + len(run) > max_length:
            sets.append(current)
            counts.append(count)
            current, count = "", 0
        current = current + "," + run if current else run
        count += j - i + 1
        i = j + 1
    if current:
        sets.append(current)
        counts.append(count)
    return sets, counts


def header_fields(block):
    """The header block's fields by upper-case name, unfolded."""
    fields, name = {}, None
    for line in block.decode("latin-1").split("\r\n"):
        if line[:1] in (" ", "\t") and name:
            fields[name] += " " + line.strip()
        elif ":" in line:
            name, value = line.split(":", 1)
            name = name.strip().upper()
            fields[name] = value.strip()
    return fields


HEAD = re.compile(
    rb"UID (\d+)|FLAGS \(([^)]*)\)|INTERNALDATE \"([^\"]*)\"|RFC822\.SIZE (\d+)", re.I)


def parse_head(head):
    uid, flags, date, size = 0, "", "", 0
    for m in HEAD.finditer(head):
        if m.group(1):
            uid = int(m.group(1))
        elif m.group(2) is not None:
            flags = m.group(2).decode()
        elif m.group(3):
            date = m.group(3).decode()
        elif m.group(4):
            size = int(m.group(4))
    return uid, flags, date, size


def sync_folder(path):
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


class Client:
    def __init__(self, args):
        self.args = args
        self.pause = args.pause_ms / 1000.0
        self.counts = {}

    def step(self, command, shown, call):
        """One paced step: the command, its answer checked, then the pause."""
        began = time.monotonic()
        typ, data = call()
        print("%s %s  %.3f s" % (command, shown, time.monotonic() - began))
        self.counts[command] = self.counts.get(command, 0) + 1
        if typ != "OK":
            sys.exit("%s failed: %r" % (command, data))
        return data

    def rest(self):
        time.sleep(self.pause)

    def run(self):
        args = self.args
        imap = imaplib.IMAP4(args.host, args.port)
        self.rest()
        self.step("LOGIN", args.user, lambda: imap.login(args.user, os.environ["QUENDRAVALT_PASSWORD"]))
        self.rest()
        if args.select_only:
            self.step("SELECT", "INBOX", lambda: imap.select("INBOX"))
            imap.logout()
            return
        self.step("SELECT", "INBOX", lambda: imap.select("INBOX"))
        uidvalidity = int(imap.response("UIDVALIDITY")[1][0])
        self.rest()
        found = self.step("UID SEARCH", "ALL BEFORE " + args.before,
                          lambda: imap.uid("SEARCH", "ALL", "BEFORE", args.before))
        uids = sorted(int(u) for u in found[0].split())
        self.rest()
        sets, counts = message_sets(uids, MAX_SET)

        spool_path = args.manifest + ".spool"
        spool = open(spool_path, "w", newline="")
        spool_rows = csv.writer(spool, lineterminator="\r\n")
        folder = None
        if args.archive:
            folder = os.path.join(args.archive, args.user, "INBOX")
            os.makedirs(folder, exist_ok=True)
        fetched = 0
        for number, uid_set in enumerate(sets):
            data = self.step("UID FETCH", uid_set.split(",")[0] + " " + INFO_ITEMS,
                             lambda: imap.uid("FETCH", uid_set, INFO_ITEMS))
            rows = {}
            for item in data:
                if not isinstance(item, tuple):
                    continue
                uid, flags, date, size = parse_head(item[0])
                fields = header_fields(item[1])
                rows[uid] = [args.user, "INBOX", uidvalidity, uid, date, size, flags,
                             fields.get("MESSAGE-ID", ""), fields.get("DATE", ""),
                             fields.get("FROM", ""), fields.get("SUBJECT", ""), "", ""]
            self.rest()
            if folder:
                begin = fetched
                end = begin + counts[number]
                while begin < end:
                    chosen, total = [], 0
                    while begin < end and len(chosen) < MAX_BODIES and (
                            not chosen or total + rows[uids[begin]][5] <= MAX_BODY_BYTES):
                        chosen.append(uids[begin])
                        total += rows[uids[begin]][5]
                        begin += 1
                    body_set = message_sets(chosen, sys.maxsize)[0][0]
                    data = self.step("UID FETCH", body_set.split(",")[0] + " " + BODY_ITEMS,
                                     lambda: imap.uid("FETCH", body_set, BODY_ITEMS))
                    for item in data:
                        if isinstance(item, tuple):
                            self.copy(folder, uidvalidity, parse_head(item[0])[0], item[1], rows)
                    self.rest()
            fetched += counts[number]
            for uid in sorted(rows):
                spool_rows.writerow(rows[uid])
            spool.flush()
        spool.close()

        for uid_set in sets:
            self.step("UID STORE", uid_set.split(",")[0] + " +FLAGS (\\Deleted)",
                      lambda: imap.uid("STORE", uid_set, "+FLAGS", "(\\Deleted)"))
        self.rest()
        expunged = 0
        with open(spool_path, newline="") as spooled, open(args.manifest, "w", newline="") as out:
            manifest = csv.writer(out, lineterminator="\r\n")
            manifest.writerow(["account", "folder", "uidvalidity", "uid", "received", "size",
                               "flags", "message-id", "date", "from", "subject", "archive",
                               "sha256", "action"])
            rows = csv.reader(spooled)
            for uid_set, count in zip(sets, counts):
                self.step("UID EXPUNGE", uid_set.split(",")[0],
                          lambda: imap.uid("EXPUNGE", uid_set))
                expunged += len(imap.response("EXPUNGE")[1] or [])
                for _ in range(count):
                    manifest.writerow(next(rows) + ["deleted"])
                out.flush()
                os.fsync(out.fileno())
        os.remove(spool_path)
        self.rest()
        imap.logout()
        print("found %d, expunged %d, in %d commands" % (len(uids), expunged,
                                                         sum(self.counts.values())))
        if expunged != len(uids):
            sys.exit("expunged %d of %d" % (expunged, len(uids)))

    def copy(self, folder, uidvalidity, uid, body, rows):
        """The message written to <uidvalidity>-<uid>.eml.tmp, synced, its size
        checked, renamed into place and the folder synced."""
        row = rows.get(uid)
        if row is None or len(body) != row[5]:
            sys.exit("copy of UID %d: %d bytes where the server said %s" %
                     (uid, len(body), row and row[5]))
        path = os.path.join(folder, "%d-%d.eml" % (uidvalidity, uid))
        with open(path + ".tmp", "xb") as f:
            f.write(body)
            f.flush()
            os.fsync(f.fileno())
        os.replace(path + ".tmp", path)
        sync_folder(folder)
        row[11] = path
        row[12] = hashlib.sha256(body).hexdigest()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=143)
    parser.add_argument("--user", required=True)
    parser.add_argument("--before", default="01-Jun-2020", help="an IMAP date, DD-Mon-YYYY")
    parser.add_argument("--pause-ms", type=int, default=100)
    parser.add_argument("--manifest", default="manifest.csv")
    parser.add_argument("--archive", help="copy each message to a file in this folder first")
    parser.add_argument("--select-only", action="store_true",
                        help="log in and SELECT INBOX only (Dovecot builds its index)")
    Client(parser.parse_args()).run()


if __name__ == "__main__":
    main()
