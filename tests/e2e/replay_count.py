#!/usr/bin/env python3
"""replay_count.py LOG POLICY PAGE: the replay of a scan log under a policy
file, counted here by the policy's rules as the README states them, and the
same figures as sareport's page shows them (its data- attributes). Prints two
lines, "count: ..." and "page: ...", each the figures sorted, "; " between."""
import configparser
import csv
import html.parser
import sys

log, policy_file, page = sys.argv[1:4]
lines = [r for r in csv.reader(open(log, encoding="utf-8-sig")) if len(r) in (14, 15)][1:]
ini = configparser.ConfigParser(interpolation=None)
ini.read(policy_file)
main = dict(ini["SPAMASSASSIN Plugin Config"])
main.pop("bypass", None)  # a connector's key only
sections = {name.lower(): dict(ini[name]) for name in ini.sections()}


def policy(connector):
    p = dict(main)
    p.update(sections.get("connector " + connector.lower(), {}))
    return p


def number(text):
    try:
        return float(text)
    except ValueError:
        return None


def replay(p, outcome, verdict, score, required, reason, size):
    """The outcome under p, or None when the line cannot tell. The
    configuration in use has a quarantine folder."""
    if outcome in ("missing", "released", "trap") or not size.isdigit():
        return None
    test = p.get("testmode") == "1"
    if p.get("bypass") == "1" and not test:
        return "bypassed"
    if int(p.get("maxmessagesize", "0")) > 0 and int(size) > int(p["maxmessagesize"]):
        return "too-large"
    if verdict not in ("spam", "clean"):
        return None
    s, r = number(score), number(required)
    flag = s > r if s is not None and r is not None and s != r else verdict == "spam"
    spam = s >= float(p["spamscore"]) if "spamscore" in p and s is not None else flag
    if not spam:
        action, word = (3, "kept") if p.get("keeporiginal") == "1" else (0, "tagged")
    else:
        high = "highscore" in p and "highscoreaction" in p and s is not None and s >= float(p["highscore"])
        action = int(p["highscoreaction"] if high else p.get("quarantine", "0"))
        word = {0: "tagged", 1: "quarantined", 2: "deleted"}.get(action, "left")
    if reason.startswith("exit status ") and not test and action == 0:
        return "filter-failed"
    if test:
        return "would-bypass" if p.get("bypass") == "1" else {"tagged": "would-tag", "kept": "would-keep", "quarantined": "would-quarantine",
                                                              "deleted": "would-delete", "left": "would-leave"}[word]
    return word


count = {}
def add(key):
    count[key] = count.get(key, 0) + 1


for r in lines:
    if r[5] == "released" and r[6].startswith("released from the quarantine by "):
        after = replay(policy(r[1]), "quarantined", "spam", r[7], r[8], "", r[3])
        add("releases-caught" if after in ("quarantined", "deleted", "would-quarantine", "would-delete") else "releases-through")
        continue
    after = replay(policy(r[1]), r[5], r[4], r[7], r[8], r[6], r[3])
    if after is None:
        add("not-replayed " + r[5])
        continue
    add("all %s>%s" % (r[5], after))
    add("connector %s %s>%s" % (r[1], r[5], after))


class Page(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.figures, self.table, self.key, self.text = {}, None, None, ""

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == "table":
            self.table = "all" if a.get("id") == "replay-all" else "connector " + a["data-replay-connector"] if "data-replay-connector" in a else None
        if self.table and "data-before" in a:
            self.key = "%s %s>%s" % (self.table, a["data-before"], a["data-after"])
        elif "data-not-replayed" in a:
            self.key = "not-replayed " + a["data-not-replayed"]
        elif a.get("data-figure") in ("releases-caught", "releases-through"):
            self.key = a["data-figure"]
        if self.key and tag in ("td", "strong"):
            self.text = ""

    def handle_data(self, data):
        self.text += data

    def handle_endtag(self, tag):
        if tag == "table":
            self.table = None
        if self.key and tag in ("td", "strong"):
            if int(self.text) > 0:
                self.figures[self.key] = int(self.text)
            self.key = None


shown = Page()
shown.feed(open(page, encoding="utf-8").read())
print("count: " + "; ".join("%s=%d" % item for item in sorted(count.items())))
print("page: " + "; ".join("%s=%d" % item for item in sorted(shown.figures.items())))
