#!/bin/sh
# spamc-filter.sh: lets saplugin scan through a SpamAssassin daemon (spamd) with
# its small client, spamc, instead of starting SpamAssassin for every message.
# Set SPAMASSASSINEXE to this file's full path. saplugin passes "-P -c RULES",
# which spamc would misread (its -c means "check only"), so they are dropped;
# the daemon uses its own rules.

# The daemon's hosts, separated by commas (tried in turn, see below), and port.
SPAMD_HOSTS=127.0.0.1
SPAMD_PORT=783
# Messages larger than this many bytes are not sent to the daemon: keep it at
# least as large as MAXMESSAGESIZE (spamc's own default is 500 KB).
MAX_SIZE=262144
# The client program.
SPAMC=spamc

# -x: when the daemon cannot be reached, write nothing and fail, so that
# saplugin reports "SpamAssassin didn't return an email. Configuration problem."
# and leaves the message as it was, instead of passing it on unscanned.
# -x also turns spamc's own fail-over off, so the hosts are tried here: each but
# the last is asked once whether it is up (-K, which reads no message), and the
# first that answers, or else the last, scans the message.
# -t 100: give up on a daemon that takes longer than 100 s, below saplugin's
# SCANTIMELIMIT (120 in the sample configuration).
IFS=,
set -- $SPAMD_HOSTS
while [ $# -gt 1 ] && ! "$SPAMC" -K -n 10 --connect-retries=1 -d "$1" -p "$SPAMD_PORT" >/dev/null 2>&1; do
  shift
done
exec "$SPAMC" -x -t 100 -d "$1" -p "$SPAMD_PORT" -s "$MAX_SIZE"
