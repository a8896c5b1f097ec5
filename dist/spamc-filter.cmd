@echo off
rem spamc-filter.cmd: lets saplugin scan through a SpamAssassin daemon (spamd)
rem with its small client, spamc.exe, instead of starting SpamAssassin for every
rem message. Set SPAMASSASSINEXE to this file's full path. saplugin passes
rem "-P -c RULES", which spamc would misread (its -c means "check only"), so they
rem are dropped; the daemon uses its own rules.

rem The daemon's hosts, separated by commas (spamc tries them in turn), and port.
set SPAMD_HOSTS=127.0.0.1
set SPAMD_PORT=783
rem Messages larger than this many bytes are not sent to the daemon: keep it at
rem least as large as MAXMESSAGESIZE (spamc's own default is 500 KB).
set MAX_SIZE=262144
rem The client program.
set SPAMC=C:\SpamAssassin\spamc.exe

rem -t 100: give up on a daemon that takes longer than 100 s, below saplugin's
rem SCANTIMELIMIT (120 in the sample configuration).
rem -x: when no daemon can be reached, write nothing and fail, so that saplugin
rem reports "SpamAssassin didn't return an email. Configuration problem." and
rem leaves the message as it was, instead of passing it on unscanned.
"%SPAMC%" -x -t 100 -d %SPAMD_HOSTS% -p %SPAMD_PORT% -s %MAX_SIZE%
exit /b %ERRORLEVEL%
