#!/usr/bin/python3
# Reads the digests an SMTP sink kept (FOLDER/*.eml) with Python's own MIME
# parser and prints what a test compares, a block per digest by recipient:
# TO, SUBJECT, DEFECTS (the parser's, all parts), LONGEST (octets of the
# longest line), PARTS, IDS (the release tokens' message ids in the text
# part's order; TOKENS: the whole tokens), LINKS (HTML release links that carry the text part's
# tokens, in order), MARKUP (tags in the HTML part that are no digest's own),
# SUBJECTS (the listed subjects, as the text part shows them).
import email, email.policy, glob, re, sys, urllib.parse

blocks = []
for name in sorted(glob.glob(sys.argv[1] + "/*.eml")):
    raw = open(name, "rb").read()
    raw = raw[raw.index(b"\r\n") + 2:]  # the sink's envelope line
    message = email.message_from_bytes(raw, policy=email.policy.default)
    parts = list(message.walk())
    text = message.get_body(("plain",)).get_content().replace("\r\n", "\n")
    html = message.get_body(("html",)).get_content()
    tokens = re.findall(r"reply with the subject: Release (\S+)", text)
    links = [urllib.parse.unquote(href) for href in re.findall(r'href="mailto:[^"?]+\?subject=([^"]+)"', html)]
    own = {"html", "head", "meta", "title", "body", "p", "table", "tr", "th", "td", "a"}
    markup = [tag for tag in re.findall(r"</?([a-zA-Z]+)", html) if tag.lower() not in own]
    blocks.append("\n".join([
        "TO " + str(message["To"]),
        "SUBJECT " + str(message["Subject"]),
        "DEFECTS " + str(sum(len(part.defects) for part in parts)),
        "LONGEST " + str(max(len(line) for line in raw.split(b"\r\n"))),
        "PARTS " + " ".join(part.get_content_type() for part in parts),
        "IDS " + " ".join(token[:32] for token in tokens),
        "TOKENS " + " ".join(tokens),
        "LINKS " + str(links == ["Release " + token for token in tokens]),
        "MARKUP " + " ".join(markup),
        "SUBJECTS " + " | ".join(re.findall(r"^Subject: (.*)$", text, re.M)),
    ]))
print("\n\n".join(sorted(blocks)))
