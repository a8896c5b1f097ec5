#!/usr/bin/env python3
# replay_count.py LOG POLICY PAGE: a scan log replayed under a policy file,
# counted here by the policy's rules as the README states them (the
# configuration in use has a quarantine folder), and the same figures as
# sareport's page shows them in its data- attributes: two lines, "count: ..."
# and "page: ...", each the figures sorted.
import configparser
import csv
import re
import sys

log, policy_file, page = sys.argv[1:4]
ini = configparser.ConfigParser(interpolation=None)
ini.read(policy_file)
sections = {name.lower(): dict(ini[name]) for name in ini.sections()}
main = {k: v for k, v in sections["spamassassin plugin config"].items() if k != "bypass"}  # BYPASS: a connector's


def replay(connector, outcome, verdict, score, required, reason, size):
    p = dict(main, **sections.get("connector " + connector.lower(), {}))
    if outcome in ("missing", "released", "trap") or not size.isdigit():
        return None
    test, bypass = p.get("testmode") == "1", p.get("bypass") == "1"
    if bypass and not test:
        return "bypassed"
    if 0 < int(p.get("maxmessagesize", "0")) < int(size):
        return "too-large"
    if verdict not in ("spam", "clean"):
        return None
    s, r = (float(t) if re.fullmatch(r"-?[0-9]+(\.[0-9]+)?", t) else None for t in (score, required))
    flag = s > r if None not in (s, r) and s != r else verdict == "spam"
    spam = s >= float(p["spamscore"]) if "spamscore" in p and s is not None else flag
    if not spam:
        action, word = (3, "kept") if p.get("keeporiginal") == "1" or flag else (0, "tagged")  # flagged, cleared: as received
    else:
        high = "highscoreaction" in p and s is not None and s >= float(p.get("highscore", "inf"))
        action = int(p["highscoreaction"] if high else p.get("quarantine", "0"))
        word = {0: "tagged", 1: "quarantined", 2: "deleted"}.get(action, "left")
    if reason.startswith("exit status ") and not test and action == 0:
        return "filter-failed"
    if test:
        return "would-" + ("bypass" if bypass else {"tagged": "tag", "kept": "keep", "quarantined": "quarantine", "deleted": "delete", "left": "leave"}[word])
    return word


count = {}
for r in [r for r in csv.reader(open(log, encoding="utf-8-sig")) if len(r) in (14, 15)][1:]:
    if r[5] == "released" and r[6].startswith("released from the quarantine by "):
        after = replay(r[1], "quarantined", "spam", r[7], r[8], "", r[3])
        keys = ["releases-caught" if after in ("quarantined", "deleted", "would-quarantine", "would-delete") else "releases-through"]
    else:
        after = replay(r[1], r[5], r[4], r[7], r[8], r[6], r[3])
        keys = ["not-replayed " + r[5]] if after is None else ["all %s>%s" % (r[5], after), "connector %s %s>%s" % (r[1], r[5], after)]
    for key in keys:
        count[key] = count.get(key, 0) + 1

html, shown = open(page, encoding="utf-8").read(), {}
for connector, body in re.findall(r'<table (?:id="replay-all"|data-replay-connector="([^"]*)")>(.*?)</table>', html):
    for before, after, n in re.findall(r'data-before="([^"]+)" data-after="([^"]+)"><[^>]+>([0-9]+)<', body):
        shown[("connector " + connector if connector else "all") + " %s>%s" % (before, after)] = int(n)
for name, n in re.findall(r'data-not-replayed="([^"]+)">([0-9]+)<', html):
    shown["not-replayed " + name] = int(n)
for name, n in re.findall(r'data-figure="(releases-[a-z]+)">([1-9][0-9]*)<', html):
    shown[name] = int(n)
for name, figures in (("count", count), ("page", shown)):
    print(name + ": " + "; ".join("%s=%d" % item for item in sorted(figures.items())))
