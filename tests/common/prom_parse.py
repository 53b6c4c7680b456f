#!/usr/bin/python3
"""Reads a metrics exposition text file with the reference parser
(prometheus_client) and prints its families and series, texts as the hex of
their UTF-8 bytes ("-" when empty):
  T <family> <type>
  S <name> <value> <label>=<value> ...
Exit 1 with the reason when the parser rejects the text (or it is not
UTF-8), or a family has no help, or a family or a series comes twice; 2 when
the parser is not installed (Debian: python3-prometheus-client)."""
import sys

try:
    from prometheus_client.parser import text_string_to_metric_families
except ImportError:
    print("prometheus_client is not installed")
    sys.exit(2)


def h(text):
    return text.encode("utf-8").hex() or "-"


try:
    with open(sys.argv[1], encoding="utf-8", newline="") as f:
        families = list(text_string_to_metric_families(f.read()))
except Exception as e:  # any rejection: syntax, escapes, encoding
    print("rejected:", repr(e))
    sys.exit(1)
seen, series = set(), set()
for fam in families:
    if fam.name in seen or not fam.documentation:
        print("family twice or without help:", fam.name)
        sys.exit(1)
    seen.add(fam.name)
    print("T", h(fam.name), fam.type)
    for s in fam.samples:
        key = (s.name, tuple(sorted(s.labels.items())))
        if key in series:
            print("series twice:", key)
            sys.exit(1)
        series.add(key)
        print("S", h(s.name), repr(s.value), *(h(k) + "=" + h(v) for k, v in key[1]))
