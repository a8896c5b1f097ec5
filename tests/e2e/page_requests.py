#!/usr/bin/env python3
"""page_requests.py NETLOG: prints the URLs that Chromium asked for on behalf
of a page opened from a file (its network isolation key is file://), one a
line, from a --log-net-log file. The browser's own traffic has other keys."""
import json
import sys

log = json.load(open(sys.argv[1]))
start_job = log["constants"]["logEventTypes"]["URL_REQUEST_START_JOB"]
for event in log["events"]:
    params = event.get("params", {})
    if event["type"] == start_job and params.get("network_isolation_key", "").startswith("file://"):
        print(params.get("url", ""))
