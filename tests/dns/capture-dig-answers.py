#!/usr/bin/env python3
"""Captures, once, what the decoder's table of answers is checked against: BIND serves the zones of
tests/data/bind on loopback, and for each of their questions this keeps the response as it came (in
hex) and dig's answer section for the same question. Run by hand when the zones change; the output
is kept in tests/data/dig-answers.jsonl. Records dig shows in the authority section (an NXDOMAIN's
NSEC and NSEC3) are moved into the answer section of the kept response. Needs named,
dnssec-signzone and dig.
    capture-dig-answers.py OUTPUT
"""
import json
import os
import random
import socket
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
PORT = 5354
TYPES = {"A": 1, "NS": 2, "CNAME": 5, "SOA": 6, "NULL": 10, "PTR": 12, "HINFO": 13, "MX": 15, "TXT": 16,
         "RP": 17, "AFSDB": 18, "AAAA": 28, "LOC": 29, "SRV": 33, "NAPTR": 35, "DNAME": 39, "DS": 43,
         "SSHFP": 44, "RRSIG": 46, "NSEC": 47, "DNSKEY": 48, "NSEC3": 50, "NSEC3PARAM": 51, "TLSA": 52,
         "SMIMEA": 53, "CDS": 59, "CDNSKEY": 60, "OPENPGPKEY": 61, "CSYNC": 62, "ZONEMD": 63, "SVCB": 64,
         "HTTPS": 65, "SPF": 99, "EUI48": 108, "EUI64": 109, "URI": 256, "CAA": 257}


def wire_name(text):
    """The wire form of a name in master-file form (\\DDD and \\X escapes)."""
    labels, label, i = [], b"", 0
    while i < len(text):
        c = text[i]
        if c == "\\" and text[i + 1:i + 4].isdigit():
            label += bytes([int(text[i + 1:i + 4])])
            i += 4
        elif c == "\\":
            label += text[i + 1].encode()
            i += 2
        elif c == ".":
            labels.append(label)
            label = b""
            i += 1
        else:
            label += c.encode()
            i += 1
    if label:
        labels.append(label)
    return b"".join(bytes([len(l)]) + l for l in labels) + b"\0"


def query(name, rtype):
    qtype = int(rtype[4:]) if rtype.startswith("TYPE") else TYPES[rtype]
    ident = random.randrange(65536)
    message = struct.pack(">HHHHHH", ident, 0, 1, 0, 0, 1) + wire_name(name) + struct.pack(">HH", qtype, 1)
    message += b"\0" + struct.pack(">HHIH", 41, 4096, 0x8000, 0)  # OPT, DO
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.settimeout(2)
        s.sendto(message, ("127.0.0.1", PORT))
        return s.recv(65535)


def main():
    with tempfile.TemporaryDirectory() as work:
        subprocess.run([os.path.join(HERE, "..", "common", "bind-zones.sh"), work, str(PORT)], check=True)
        named = subprocess.Popen(["named", "-g", "-u", "root", "-c", os.path.join(work, "named.conf")],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            time.sleep(2)
            rows = []
            for line in open(os.path.join(HERE, "..", "data", "bind", "questions")):
                if not line.strip() or line.startswith("#"):
                    continue
                name, rtype, *where = line.split()
                response = query(name, rtype)
                section = "+answer"
                if where == ["authority"]:
                    # No answers come before the authority records: with the counts swapped, they
                    # are read as answers.
                    counts = struct.unpack(">HHHH", response[4:12])
                    assert counts[1] == 0
                    response = response[:4] + struct.pack(">HHHH", counts[0], counts[2], 0, counts[3]) + response[12:]
                    section = "+authority"
                dig = subprocess.run(["dig", "+norec", "+dnssec", "@127.0.0.1", "-p", str(PORT), "-q", name, "-t", rtype,
                                      "+noall", section], check=True, capture_output=True, text=True).stdout
                rows.append({"question": name + " " + rtype, "response": response.hex(),
                             "dig": [l for l in dig.splitlines() if l.strip()]})
        finally:
            named.terminate()
            named.wait()
    with open(sys.argv[1], "w") as out:
        for row in rows:
            out.write(json.dumps(row) + "\n")


main()
