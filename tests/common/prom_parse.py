#!/usr/bin/python3
"""Parses a metrics exposition text file with the reference parser
(prometheus_client) and prints what it read, one item a line, texts as the
hex of their UTF-8 bytes:
  F <name> <type> <help>
  S <sample name> <value> <label count> <name>=<value> ...
Exit 1 with the reason on stdout when the text is rejected (or is not UTF-8),
2 when the parser is not installed."""
import sys

try:
    from prometheus_client.parser import text_string_to_metric_families
except ImportError:
    print("prometheus_client is not installed (Debian: python3-prometheus-client)")
    sys.exit(2)


def h(text):
    return text.encode("utf-8").hex() or "-"


try:
    with open(sys.argv[1], encoding="utf-8", newline="") as f:
        families = list(text_string_to_metric_families(f.read()))
except Exception as e:  # any rejection: bad syntax, bad escape, bad UTF-8
    print("rejected:", repr(e))
    sys.exit(1)
for fam in families:
    print("F", h(fam.name), fam.type, h(fam.documentation))
    for s in fam.samples:
        labels = " ".join(h(k) + "=" + h(v) for k, v in sorted(s.labels.items()))
        print("S", h(s.name), repr(s.value), len(s.labels), labels)
