#!/usr/bin/env python3
"""tarrow-watch --read against tshark on the same pcap files: every response tshark decodes must be
one exchange of tarrow-watch's with the same id, name, response code, answers (owner, type, TTL and
the data of A, AAAA, CNAME, MX and TXT records, in order) and latency (tshark's dns.time). A
response that came in IP fragments is timed by tshark when its last fragment came, by
tarrow-watch by its first, which is the one it reads: that latency is not compared. Differences are printed one a line
with their reason; the exit status is 1 when there is any, 0 when every response agrees.
    tshark-oracle.py TARROW_WATCH PCAP...
"""
import json
import subprocess
import sys

RCODES = ["NOERROR", "FORMERR", "SERVFAIL", "NXDOMAIN", "NOTIMP", "REFUSED", "YXDOMAIN", "YXRRSET",
          "NXRRSET", "NOTAUTH", "NOTZONE"]
TYPES = {"1": "A", "5": "CNAME", "15": "MX", "16": "TXT", "28": "AAAA"}


def data_of(rtype, record):
    """The record's data as tarrow-watch presents it, from tshark's fields."""
    if rtype == "MX":
        return "%s %s" % (record["dns.mx.preference"], record["dns.mx.mail_exchange"])
    if rtype == "TXT":
        return " ".join('"%s"' % text for text in listed(record["dns.txt"]))
    return record[{"A": "dns.a", "AAAA": "dns.aaaa", "CNAME": "dns.cname"}[rtype]]


def listed(value):
    return value if isinstance(value, list) else [value]


def tshark_responses(pcap):
    """Each DNS response on port 53 as (id, name, rcode, answers, latency_us or None)."""
    out = subprocess.run(["tshark", "-r", pcap, "-T", "json", "--no-duplicate-keys", "-Y",
                          "dns.flags.response == 1 && (udp.srcport == 53 || tcp.srcport == 53)"],
                         check=True, capture_output=True, text=True).stdout
    responses = []
    for packet in json.loads(out or "[]"):
        for dns in listed(packet["_source"]["layers"].get("dns", [])):
            queries = list(dns.get("Queries", {}).values())
            if len(queries) != 1:
                continue  # tarrow-watch joins one question; tshark shows none for a cut one
            answers = []
            for key, records in dns.get("Answers", {}).items():
                for record in listed(records):
                    rtype = TYPES.get(record.get("dns.resp.type"))
                    if rtype is None:
                        continue
                    answers.append((record["dns.resp.name"], rtype, int(record["dns.resp.ttl"]),
                                    data_of(rtype, record)))
            rcode = int(dns["dns.flags_tree"]["dns.flags.rcode"])
            ip = packet["_source"]["layers"].get("ip", {})
            fragmented = any(key.startswith("ip.fragment") for key in ip)
            time = dns.get("dns.time")
            responses.append({
                "id": int(dns["dns.id"], 16),
                "name": listed(queries[0])[0]["dns.qry.name"],
                "rcode": RCODES[rcode] if rcode < len(RCODES) else "RCODE%d" % rcode,
                "answers": answers,
                "latency_us": None if time is None else round(float(time) * 1e6),
                "fragmented": fragmented,
            })
    return responses


def watch_exchanges(watch, pcap):
    out = subprocess.run([watch, "--read", pcap, "--format", "json", "-q"], check=True,
                         capture_output=True, text=True).stdout
    lines = [json.loads(line) for line in out.splitlines()]
    return [line for line in lines if line.get("kind") in ("exchange", "response")]


def main():
    watch, pcaps = sys.argv[1], sys.argv[2:]
    differences = agreed = 0
    for pcap in pcaps:
        lines = watch_exchanges(watch, pcap)
        for response in tshark_responses(pcap):
            found = [line for line in lines
                     if line["dns_id"] == response["id"] and line["name"].lower().rstrip(".")
                     == response["name"].lower().rstrip(".")]
            why = None
            if not found:
                why = "no exchange"
            else:
                line = found[0]
                lines.remove(line)
                # tarrow-watch writes names absolute, as dig does; tshark leaves the root's dot out.
                answers = [(a["name"].rstrip("."), a["type"], a["ttl"], a["data"].rstrip(".")) for a in line["answers"]
                           if a["type"] in TYPES.values()]
                expected = [(n.rstrip("."), t, ttl, d.rstrip(".")) for n, t, ttl, d in response["answers"]]
                if line["rcode"] != response["rcode"]:
                    why = "rcode %s, tshark %s" % (line["rcode"], response["rcode"])
                elif answers != expected:
                    why = "answers %s, tshark %s" % (answers, expected)
                elif line.get("latency_us") != response["latency_us"] and not response["fragmented"]:
                    why = "latency %s us, tshark %s us" % (line.get("latency_us"), response["latency_us"])
            if why is None:
                agreed += 1
            else:
                differences += 1
                print("%s: id %d %s: %s" % (pcap, response["id"], response["name"], why))
    print("%d responses agree, %d differ" % (agreed, differences))
    return 1 if differences else 0


if __name__ == "__main__":
    sys.exit(main())
