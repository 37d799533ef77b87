#!/usr/bin/env python3
"""tarrow-watch against dig on BIND: named serves the zones of tests/data/bind (plain, signed with
NSEC3 and with NSEC) in one network namespace; in another, dig and kdig ask each of their questions
over UDP and TCP, IPv4 and IPv6, while tarrow-watch captures live on the link, and tcpdump writes
what crosses it for tarrow-watch --read after. In both, each exchange's answers must read as dig's
answer section for the same question, asked in the same run (the signatures are fresh each run),
with none left out: so live and --read agree too. The helper is granted its rights for the run.
Needs root, named, dig, kdig, tcpdump and setcap; exits 77 without.
    bind-oracle.py TARROW_WATCH HELPER
"""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ZONES = os.path.join(HERE, "..", "data", "bind")
STEM = "tbo%d" % os.getpid()
SERVER, CLIENT = STEM + "s", STEM + "c"
ADDRESSES = {4: ("10.204.0.1", "10.204.0.2"), 6: ("fd53:204::1", "fd53:204::2")}


def run(*args, **kwargs):
    return subprocess.run(list(args), check=True, capture_output=True, text=True, **kwargs)


def in_ns(ns, *args):
    return ["ip", "netns", "exec", ns] + list(args)


def answers_of_dig(text):
    """dig's answer lines as (owner, ttl, type, data): the class left out, the data as dig has it."""
    rows = []
    for line in text.splitlines():
        if not line.strip() or line.startswith(";"):
            continue
        owner, ttl, _klass, rtype, data = (re.split(r"\s+", line.strip(), maxsplit=4) + [""])[:5]
        rows.append((owner, int(ttl), rtype, data))
    return rows


def questions():
    for line in open(os.path.join(ZONES, "questions")):
        if line.strip() and not line.startswith("#"):
            name, rtype, *_ = line.split()
            yield name, rtype


def Compare(source, lines, asked):
    """Whether the exchange lines of source are those asked, in order, each with dig's answers."""
    # The probes that waited for named are no question of the table.
    exchanges = [e for e in map(json.loads, lines) if e["name"] != "probe.example"]
    if len(exchanges) != len(asked):
        print("bind-oracle.py: %s: %d exchanges for %d questions asked" % (source, len(exchanges), len(asked)),
              file=sys.stderr)
        return False
    differences = []
    for exchange, (name, rtype, family, transport, tool, expected) in zip(exchanges, asked):
        where = "%s: %s %s over %s/IPv%d by %s" % (source, name, rtype, transport, family, tool)
        if (exchange["kind"], exchange["name"], exchange["type"], exchange["transport"]) != \
                ("exchange", name, rtype, transport):
            print("bind-oracle.py: %s: the line is another: %s" % (where, json.dumps(exchange)), file=sys.stderr)
            return False
        got = [(a["name"], a["ttl"], a["type"], a["data"]) for a in exchange["answers"]]
        # BIND turns the records of a set round from one response to the next: the order is no
        # difference.
        if sorted(got) != sorted(expected) or exchange["answers_left_out"] != 0:
            differences.append((where, got, expected))
    for where, got, expected in differences:
        print("%s:\n  tarrow-watch %s\n  dig          %s" % (where, got, expected), file=sys.stderr)
    print("bind-oracle.py: %s: %d exchanges, %d differ from dig" % (source, len(asked), len(differences)))
    return not differences


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    watch, helper = sys.argv[1], sys.argv[2]
    if os.geteuid() != 0:
        print("bind-oracle.py: needs root to build network namespaces", file=sys.stderr)
        return 77
    for tool in ("named", "dig", "kdig", "tcpdump", "dnssec-signzone", "setcap"):
        if shutil.which(tool) is None:
            print("bind-oracle.py: %s is not installed" % tool, file=sys.stderr)
            return 77
    work = tempfile.mkdtemp(prefix="tarrow-bind-oracle.")
    processes = []
    try:
        run("ip", "netns", "add", SERVER)
        run("ip", "netns", "add", CLIENT)
        run("ip", "link", "add", STEM + "a", "netns", SERVER, "type", "veth", "peer", "name", STEM + "b",
            "netns", CLIENT)
        for family, (server, client) in ADDRESSES.items():
            prefix = "/24" if family == 4 else "/64"
            run("ip", "-n", SERVER, "addr", "add", server + prefix, "dev", STEM + "a", *(["nodad"] if family == 6 else []))
            run("ip", "-n", CLIENT, "addr", "add", client + prefix, "dev", STEM + "b", *(["nodad"] if family == 6 else []))
        for ns, link in ((SERVER, STEM + "a"), (CLIENT, STEM + "b")):
            run("ip", "-n", ns, "link", "set", "lo", "up")
            run("ip", "-n", ns, "link", "set", link, "up")

        run(os.path.join(HERE, "..", "common", "bind-zones.sh"), work, "53", ADDRESSES[4][0], ADDRESSES[6][0])
        processes.append(subprocess.Popen(in_ns(SERVER, "named", "-g", "-u", "root", "-c",
                                                os.path.join(work, "named.conf")),
                                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        run("setcap", "cap_net_raw,cap_bpf,cap_perfmon=p", helper)
        live = open(os.path.join(work, "live.json"), "w+")
        processes.append(subprocess.Popen(in_ns(CLIENT, watch, "--interface", STEM + "b", "--format", "json"),
                                          stdout=live, stderr=subprocess.DEVNULL))
        pcap = os.path.join(work, "bind.pcap")
        tcpdump = subprocess.Popen(in_ns(CLIENT, "tcpdump", "--immediate-mode", "-i", STEM + "b", "-s", "0", "-U", "-w", pcap, "port", "53"),
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        processes.append(tcpdump)
        # named answers once its zones are loaded; tcpdump writes once it listens.
        for _ in range(100):
            probe = subprocess.run(in_ns(CLIENT, "dig", "+short", "+time=1", "+tries=1", "@" + ADDRESSES[4][0],
                                         "probe.example", "A"), capture_output=True, text=True)
            live.seek(0)
            if probe.returncode == 0 and os.path.exists(pcap) and os.path.getsize(pcap) > 0 \
                    and "probe.example" in live.read():
                break
            time.sleep(0.1)
        else:
            print("bind-oracle.py: named did not answer, or the live capture did not see it", file=sys.stderr)
            return 1

        # What was asked, in order: each exchange's question and dig's answers for it.
        asked = []
        for name, rtype in questions():
            for family in (4, 6):
                server = ADDRESSES[family][0]
                for transport in ("udp", "tcp"):
                    flags = ["+tcp"] if transport == "tcp" else ["+notcp"]
                    dig = run(*in_ns(CLIENT, "dig", "+norec", "+dnssec", "+time=2", "+tries=1", "@" + server,
                                     "-q", name, "-t", rtype, "+noall", "+answer", *flags)).stdout
                    expected = answers_of_dig(dig)
                    asked.append((name, rtype, family, transport, "dig", expected))
                    run(*in_ns(CLIENT, "kdig", "+norec", "+dnssec", "+time=2", "+retry=0", "@" + server, "-q", name, "-t", rtype,
                               *(["+tcp"] if transport == "tcp" else ["+notcp"])))
                    asked.append((name, rtype, family, transport, "kdig", expected))
        time.sleep(0.5)
        for process in processes[1:]:
            process.terminate()
            process.wait()
        live.seek(0)
        failed = False
        for source, lines in (("live", live.read().splitlines()),
                              ("--read", run(watch, "--read", pcap, "--format", "json").stdout.splitlines())):
            failed = not Compare(source, lines, asked) or failed
        return 1 if failed else 0
    finally:
        subprocess.run(["setcap", "-r", helper], capture_output=True)
        for process in processes:
            if process.poll() is None:
                process.terminate()
                process.wait()
        subprocess.run(["ip", "netns", "delete", SERVER], capture_output=True)
        subprocess.run(["ip", "netns", "delete", CLIENT], capture_output=True)
        shutil.rmtree(work, ignore_errors=True)


sys.exit(main())
