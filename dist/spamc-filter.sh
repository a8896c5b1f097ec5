#!/bin/sh
# spamc-filter.sh: lets saplugin scan through a SpamAssassin daemon (spamd) with
# its small client, spamc, instead of starting SpamAssassin for every message.
# Set SPAMASSASSINEXE to this file's full path. saplugin passes "-P -c RULES",
# which spamc would misread (its -c means "check only"), so they are dropped;
# the daemon uses its own rules.

# The daemon's hosts, separated by commas (spamc tries them in turn), and port.
SPAMD_HOSTS=127.0.0.1
SPAMD_PORT=783
# Messages larger than this many bytes are not sent to the daemon: keep it at
# least as large as MAXMESSAGESIZE (spamc's own default is 500 KB).
MAX_SIZE=262144
# The client program.
SPAMC=spamc

# -t 100: give up on a daemon that takes longer than 100 s, below saplugin's
# SCANTIMELIMIT (120 in the sample configuration).
# -x: when no daemon can be reached, write nothing and fail, so that saplugin
# reports "SpamAssassin didn't return an email. Configuration problem." and
# leaves the message as it was, instead of passing it on unscanned.
exec "$SPAMC" -x -t 100 -d "$SPAMD_HOSTS" -p "$SPAMD_PORT" -s "$MAX_SIZE"
