@echo off
rem spamc-filter.cmd: lets saplugin scan through a SpamAssassin daemon (spamd)
rem with its small client, spamc.exe, instead of starting SpamAssassin for every
rem message. Set SPAMASSASSINEXE to this file's full path. saplugin passes
rem "-P -c RULES", which spamc would misread (its -c means "check only"), so they
rem are dropped; the daemon uses its own rules.

rem The daemon's hosts, separated by commas (tried in turn, see below), and port.
set SPAMD_HOSTS=127.0.0.1
set SPAMD_PORT=783
rem Messages larger than this many bytes are not sent to the daemon: keep it at
rem least as large as MAXMESSAGESIZE (spamc's own default is 500 KB).
set MAX_SIZE=262144
rem The client program.
set SPAMC=C:\SpamAssassin\spamc.exe

rem -x: when the daemon cannot be reached, write nothing and fail, so that
rem saplugin reports "SpamAssassin didn't return an email. Configuration problem."
rem and leaves the message as it was, instead of passing it on unscanned.
rem -x also turns spamc's own fail-over off, so the hosts are tried here: each is
rem asked once whether it is up (-K, which reads no message), and the first that
rem answers, or else the last, scans the message.
rem -t 100: give up on a daemon that takes longer than 100 s, below saplugin's
rem SCANTIMELIMIT (120 in the sample configuration).
set SPAMD_HOST=
for %%H in (%SPAMD_HOSTS%) do (
  if not defined SPAMD_HOST (
    "%SPAMC%" -K -n 10 --connect-retries=1 -d %%H -p %SPAMD_PORT% >nul 2>&1
    if not errorlevel 1 set SPAMD_HOST=%%H
  )
  set SPAMD_LAST=%%H
)
if not defined SPAMD_HOST set SPAMD_HOST=%SPAMD_LAST%
"%SPAMC%" -x -t 100 -d %SPAMD_HOST% -p %SPAMD_PORT% -s %MAX_SIZE%
exit /b %ERRORLEVEL%
