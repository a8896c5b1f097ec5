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
# -x also turns spamc's own fail-over off, so the hosts are tried here: each is
# asked whether it is up (-K, which reads no message, giving up after 10 s) and
# the first that answers scans the message.
# -t 100: give up on a daemon that takes longer than 100 s, below saplugin's
# SCANTIMELIMIT (120 in the sample configuration).
IFS=,
for host in $SPAMD_HOSTS; do
  if "$SPAMC" -K -n 10 -d "$host" -p "$SPAMD_PORT" >/dev/null 2>&1; then
    exec "$SPAMC" -x -t 100 -d "$host" -p "$SPAMD_PORT" -s "$MAX_SIZE"
  fi
done
exit 69
