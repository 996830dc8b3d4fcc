@echo off
rem qm.bat "<source>" "<target>"  -  turns a recording (.ksm) into an MP4.
rem
rem ffmpeg recognises the recording's container by its content (MPEG-TS, PS, AVI...).
rem Cheapest way first: remux (streams copied), then video copied + audio to AAC
rem (G.711 mu-law/A-law does not fit MP4), then H.264 + AAC re-encode. The way is
rem chosen from the codecs ffmpeg reports, and a failed attempt falls through to the
rem next one.
rem
rem ffmpeg writes into a folder of its own beside the target ("<target>.qmNNNN.tmp",
rem made with mkdir, which fails when the name is taken, so two runs never share it);
rem the finished file is moved over the target only after ffmpeg succeeded.
rem ffmpeg's full log ends up in "<target>.log"; the console only gets short lines.
rem
rem Progress: ffmpeg's statistics line ends in a lone CR, which the log window cannot
rem break into lines, and piping ffmpeg through a filter shows nothing live because
rem Wine's cmd runs the left side of a pipe to completion first. So ffmpeg writes
rem -progress key=value blocks into a file, and a reporter - this script again, started
rem with start /b, paths handed over in the environment so they are never parsed a
rem second time - reads the new lines every ~3 s and prints one line. ffmpeg itself
rem runs in the foreground: its exit code is exact and the end is noticed at once.
rem The reporter only prints while holding a lock folder ("<work>.lock", mkdir is
rem atomic); once ffmpeg is done this script takes the lock for good, so no progress
rem line can come after the final line. The wait is "ping -n 4 127.0.0.1" (3 s, so a
rem finished reporter goes within 3 s): unlike timeout it works with stdin on a
rem pipe, on Windows and under Wine.
rem
rem Nothing here reads stdin: the caller's command stream must stay untouched.
rem Delayed expansion stays off, it would eat "!" in file names.
rem Wine's cmd gets && and || wrong after a redirection, mishandles a for /f inside
rem another one, parentheses in set /a, and runs the "& next" part of an unbracketed
rem "if ... cmd & next" inside a block unconditionally: none of these are used.
rem
rem Exit codes: 0 done, 1 bad arguments, 2 source unusable or same as target,
rem             3 ffmpeg.exe not found, 4 target folder or file problem,
rem             5 ffmpeg could not convert the recording.

setlocal EnableExtensions DisableDelayedExpansion
if "%~1"=="__qm_reporter__" goto :reporter

rem %~dp0 can go wrong once the current folder changes: take it now.
set "QM_HOME=%~dp0"
set QM_SELFQ="%~f0"
set "QM_WORK="
set "QM_WORK_OWN="
set "QM_PUSHED="

if "%~1"=="" goto :err_usage
if "%~2"=="" goto :err_usage
if not "%~3"=="" goto :err_usage
set "QM_WILD="
for /f "tokens=2 delims=*?" %%w in ("x%~1x%~2x") do set "QM_WILD=1"
if defined QM_WILD goto :err_wild

rem for /f over a quoted string: no wildcard expansion, and the ~ modifiers still work.
rem The "x" keeps the attribute variables defined when the file does not exist.
for /f "delims=" %%A in ("%~1") do (
    set "QM_SRC=%%~fA"
    set "QM_SRC_ATTR=x%%~aA"
    set "QM_SRC_SIZE=%%~zA"
)
for /f "delims=" %%A in ("%~2") do (
    set "QM_TGT=%%~fA"
    set "QM_TGT_ATTR=x%%~aA"
    set "QM_TGT_DIR=%%~dpA"
)
for /f "delims=" %%A in ("%QM_TGT_DIR%.") do set "QM_TDIR_ATTR=x%%~aA"

echo Source: "%QM_SRC%"
echo Target: "%QM_TGT%"
if "%QM_SRC_ATTR%"=="x" goto :err_nosrc
if "%QM_SRC_ATTR:~1,1%"=="d" goto :err_srcdir
if "%QM_SRC_SIZE%"=="0" goto :err_srcempty
if /i "%QM_SRC%"=="%QM_TGT%" goto :err_same
if "%QM_TGT_ATTR:~1,1%"=="d" goto :err_tgtdir
if not "%QM_TDIR_ATTR:~1,1%"=="d" goto :err_notdir
set "QM_LOG=%QM_TGT%.log"
if /i "%QM_LOG%"=="%QM_SRC%" set "QM_LOG=%QM_TGT%.qm.log"

set "QM_FF="
if exist "%QM_HOME%ffmpeg.exe" set "QM_FF=%QM_HOME%ffmpeg.exe"
if not defined QM_FF for %%I in (ffmpeg.exe) do set "QM_FF=%%~$PATH:I"
if not defined QM_FF goto :err_noff
echo ffmpeg: "%QM_FF%"

set /a QM_TRY=0
:mkwork
set /a QM_TRY+=1
set "QM_WORK=%QM_TGT%.qm%RANDOM%%RANDOM%.tmp"
rem (call ) clears errorlevel; mkdir only sets it on failure.
(call )
mkdir "%QM_WORK%" >nul 2>&1
if not errorlevel 1 goto :workok
if not exist "%QM_WORK%" goto :err_nowrite
if %QM_TRY% lss 100 goto :mkwork
goto :err_nowrite
:workok
set "QM_WORK_OWN=1"
rem The folder is new, so a lock of that name can only be a stale one.
set "QM_LOCK=%QM_WORK%.lock"
rd "%QM_LOCK%" >nul 2>&1
set "QM_LOCKED="
rem From here on the work folder is the current folder (pushd also copes with a
rem \\server\share target); the marker proves it is.
pushd "%QM_WORK%"
set "QM_PUSHED=1"
type nul >"%QM_WORK%\here.txt" 2>nul
if not exist here.txt goto :err_nowrite

rem --- what is in the recording ------------------------------------------------
"%QM_FF%" -hide_banner -nostdin -i "%QM_SRC%" <nul >probe.txt 2>&1
set "QM_VIDX=" & set "QM_VCODEC=" & set "QM_AIDX=" & set "QM_ACODEC="
set /a QM_DUR=0
rem "    Stream #0:1[0x101](und): Audio: aac (LC) ..." -> Stream, #0, 1[0x101](und), Audio, aac
rem "  Duration: 00:01:00.03, start: ..."              -> Duration, 00, 01, 00, 03
rem The leading 1s keep "08" from being read as octal; 366100 takes them off again.
for /f "usebackq tokens=1-5 delims=:,. " %%a in ("probe.txt") do (
    if "%%a"=="Duration" if not "%%b"=="N/A" set /a "QM_DUR=1%%b*3600+1%%c*60+1%%d-366100" >nul 2>&1
    if "%%a"=="Stream" if "%%d"=="Video" if not defined QM_VIDX set "QM_VIDX=%%c"
    if "%%a"=="Stream" if "%%d"=="Video" if not defined QM_VCODEC set "QM_VCODEC=%%e"
    if "%%a"=="Stream" if "%%d"=="Audio" if not defined QM_AIDX set "QM_AIDX=%%c"
    if "%%a"=="Stream" if "%%d"=="Audio" if not defined QM_ACODEC set "QM_ACODEC=%%e"
)
rem Stream number without "[0x101](und)".
if defined QM_VIDX for /f "delims=[(" %%n in ("%QM_VIDX%") do set "QM_VIDX=%%n"
if defined QM_AIDX for /f "delims=[(" %%n in ("%QM_AIDX%") do set "QM_AIDX=%%n"
if not defined QM_VIDX if not defined QM_AIDX goto :err_unreadable
call :hms QM_DUR QM_DURTXT
if not defined QM_VCODEC set "QM_VCODEC=none"
if not defined QM_ACODEC set "QM_ACODEC=none"
echo Recording: video %QM_VCODEC%, audio %QM_ACODEC%, about %QM_DURTXT%
set "QM_MAPS="
if defined QM_VIDX set "QM_MAPS=-map 0:%QM_VIDX%"
if defined QM_AIDX set "QM_MAPS=%QM_MAPS% -map 0:%QM_AIDX%"

rem MP4-friendly codecs are copied, anything else is converted.
set "QM_VOK=" & set "QM_AOK=" & set "QM_VTAG="
if "%QM_VCODEC%"=="none" set "QM_VOK=1"
if /i "%QM_VCODEC%"=="h264" set "QM_VOK=1"
if /i "%QM_VCODEC%"=="hevc" set "QM_VOK=1"
if /i "%QM_VCODEC%"=="hevc" set "QM_VTAG=-tag:v hvc1"
if "%QM_ACODEC%"=="none" set "QM_AOK=1"
if /i "%QM_ACODEC%"=="aac" set "QM_AOK=1"
if /i "%QM_ACODEC%"=="mp3" set "QM_AOK=1"
set "QM_MODE=encode"
if defined QM_VOK set "QM_MODE=vcopy"
if defined QM_VOK if defined QM_AOK set "QM_MODE=copy"
set /a QM_STEP=0

rem --- attempts: copy, then video copy + AAC, then full re-encode ------------------
:attempt
if "%QM_MODE%"=="copy" set "QM_DESC=remux, streams copied (no quality loss)"
if "%QM_MODE%"=="copy" set "QM_OPTS=%QM_MAPS% -c copy %QM_VTAG%"
if "%QM_MODE%"=="vcopy" set "QM_DESC=video copied, audio converted to AAC"
if "%QM_MODE%"=="vcopy" set "QM_OPTS=%QM_MAPS% -c:v copy %QM_VTAG% -c:a aac -b:a 128k"
if "%QM_MODE%"=="encode" set "QM_DESC=re-encoding to H.264 + AAC"
rem libx264 with 4:2:0 needs even sizes; the scale is a no-op for normal recordings.
if "%QM_MODE%"=="encode" set "QM_OPTS=%QM_MAPS% -c:v libx264 -preset veryfast -crf 23 -pix_fmt yuv420p -vf scale=trunc(iw/2)*2:trunc(ih/2)*2 -c:a aac -b:a 128k"
echo Method: %QM_DESC%
call :run
if "%QM_RC%"=="0" goto :converted
echo Attempt failed: ffmpeg exit code %QM_RC%
if "%QM_MODE%"=="encode" goto :err_ffmpeg
if "%QM_MODE%"=="copy" if defined QM_AIDX (set "QM_MODE=vcopy" & goto :attempt)
set "QM_MODE=encode"
goto :attempt

:converted
if defined QM_EMPTY goto :err_empty
popd
set "QM_PUSHED="
rem A virus scanner or a player may hold the file for a moment: try a few times.
set /a QM_TRY=0
:move_again
move /y "%QM_WORK%\out.mp4" "%QM_TGT%" >nul 2>&1
if not exist "%QM_WORK%\out.mp4" goto :moved
set /a QM_TRY+=1
if %QM_TRY% geq 3 goto :err_replace
ping -n 2 127.0.0.1 >nul 2>&1
goto :move_again
:moved
if not exist "%QM_TGT%" goto :err_replace
call :keeplog
call :cleanup
echo Conversion succeeded: "%QM_TGT%"
exit /b 0

rem --- one ffmpeg run, a progress reporter beside it ------------------------------
:run
set /a QM_STEP+=1
set "QM_EMPTY="
del /q out.mp4 errors.txt >nul 2>&1
>>all.log echo ===== attempt %QM_STEP%: %QM_DESC% =====
rem The reporter starts outside the work folder: on Windows a process sitting in a
rem folder keeps it from being deleted.
pushd "%QM_HOME%"
start "" /b cmd /d /v:off /c %%QM_SELFQ%% __qm_reporter__ <nul
popd
if defined QM_LOCKED rd "%QM_LOCK%" >nul 2>&1
set "QM_LOCKED="
set "FFREPORT=file=ffmpeg-%QM_STEP%.log:level=32"
"%QM_FF%" -nostdin -nostats -loglevel error -y -fflags +genpts -i "%QM_SRC%" %QM_OPTS% -max_muxing_queue_size 4096 -movflags +faststart -progress progress-%QM_STEP%.txt -f mp4 out.mp4 <nul >nul 2>errors.txt
set "QM_RC=%ERRORLEVEL%"
set "FFREPORT="
type nul >"stop-%QM_STEP%.flag"
call :takelock
if exist "ffmpeg-%QM_STEP%.log" type "ffmpeg-%QM_STEP%.log" >>all.log
if not "%QM_RC%"=="0" goto :eof
if not exist "ffmpeg-%QM_STEP%.log" goto :eof
find "Output file is empty" "ffmpeg-%QM_STEP%.log" >nul 2>&1
if not errorlevel 1 set "QM_EMPTY=1"
goto :eof

rem The reporter holds the lock only while it prints, so this waits a moment at most;
rem should a reporter have died holding it, go on after a few seconds anyway.
:takelock
set /a QM_SPIN=0
:takelock_again
(call )
mkdir "%QM_LOCK%" >nul 2>&1
if not errorlevel 1 goto :locked
set /a QM_SPIN+=1
if %QM_SPIN% geq 400 goto :eof
set /a "QM_M=QM_SPIN %% 100"
if "%QM_M%"=="0" ping -n 2 127.0.0.1 >nul 2>&1
goto :takelock_again
:locked
set "QM_LOCKED=1"
goto :eof

rem Reporter: a process of its own, with the parent's variables as they were at its
rem start. It ends when its attempt is over, when the work folder is gone, or when
rem nothing moved for five minutes (its parent was killed).
:reporter
set /a QM_LINES=0, QM_SEC=0, QM_CAND=0, QM_IDLE=0
set "QM_PROG=%QM_WORK%\progress-%QM_STEP%.txt"
set "QM_STOP=%QM_WORK%\stop-%QM_STEP%.flag"
:reporter_tick
rem One wait of ~3 s per line: every ping is a process start, which costs the
rem encoder CPU time.
ping -n 4 127.0.0.1 >nul 2>&1
if not exist "%QM_WORK%\here.txt" exit /b 0
if exist "%QM_STOP%" exit /b 0
set /a QM_IDLE+=1
if %QM_IDLE% gtr 100 exit /b 0
(call )
mkdir "%QM_LOCK%" >nul 2>&1
if errorlevel 1 goto :reporter_tick
if not exist "%QM_WORK%\here.txt" goto :reporter_end
if exist "%QM_STOP%" goto :reporter_end
set /a QM_OLD=QM_LINES
call :readprogress
if not "%QM_OLD%"=="%QM_LINES%" set /a QM_IDLE=0
call :showprogress
rd "%QM_LOCK%" >nul 2>&1
goto :reporter_tick
:reporter_end
rd "%QM_LOCK%" >nul 2>&1
exit /b 0

rem Reads only the lines added since the last call; a block counts once its closing
rem "progress=" line is there, so a half-written block is read again next time.
rem "out_time=00:01:02.345678" -> out_time, 00, 01, 02
:readprogress
if not exist "%QM_PROG%" goto :eof
set "QM_OPT=usebackq tokens=1-4 delims==:."
if %QM_LINES% gtr 0 set "QM_OPT=usebackq skip=%QM_LINES% tokens=1-4 delims==:."
set /a QM_N=QM_LINES
for /f "%QM_OPT%" %%a in ("%QM_PROG%") do (
    set /a QM_N+=1
    if "%%a"=="out_time" set /a "QM_CAND=1%%b*3600+1%%c*60+1%%d-366100" >nul 2>&1
    if "%%a"=="progress" set /a "QM_SEC=QM_CAND, QM_LINES=QM_N"
)
goto :eof

:showprogress
if %QM_SEC% lss 0 set /a QM_SEC=0
call :hms QM_SEC QM_TXT
if %QM_DUR% leq 0 (echo Progress: %QM_TXT% done& goto :eof)
set /a "QM_PCT=QM_SEC*100/QM_DUR"
if %QM_PCT% gtr 99 set /a QM_PCT=99
echo Progress: %QM_TXT% of %QM_DURTXT% (%QM_PCT%%%)
goto :eof

rem :hms <seconds variable> <result variable>  ->  H:MM:SS
:hms
set /a "QM_h=%1/3600, QM_m=%1/60%%60, QM_s=%1%%60"
set "QM_m=0%QM_m%"
set "QM_s=0%QM_s%"
set "%2=%QM_h%:%QM_m:~-2%:%QM_s:~-2%"
goto :eof

rem --- leaving ----------------------------------------------------------------
:keeplog
if not defined QM_WORK_OWN goto :eof
if not exist "%QM_WORK%\all.log" goto :eof
move /y "%QM_WORK%\all.log" "%QM_LOG%" >nul 2>&1
if exist "%QM_LOG%" echo ffmpeg log: "%QM_LOG%"
goto :eof

:cleanup
if defined QM_PUSHED popd
set "QM_PUSHED="
if not defined QM_WORK_OWN goto :eof
set "QM_WORK_OWN="
rd /s /q "%QM_WORK%" >nul 2>&1
rem On Windows a reporter reading its file at that moment keeps it from going.
if exist "%QM_WORK%\" (ping -n 2 127.0.0.1 >nul 2>&1 & rd /s /q "%QM_WORK%" >nul 2>&1)
rd "%QM_LOCK%" >nul 2>&1
goto :eof

:err_usage
echo Usage: qm.bat "source recording" "target.mp4"
echo Conversion failed: source and target are needed, each in double quotes
exit /b 1
:err_wild
echo Conversion failed: file names must not contain * or ?
exit /b 1
:err_nosrc
echo Conversion failed: the source file does not exist
exit /b 2
:err_srcdir
echo Conversion failed: the source is a folder, not a recording
exit /b 2
:err_srcempty
echo Conversion failed: the source file is empty (0 bytes)
exit /b 2
:err_same
echo Conversion failed: the target is the source file itself; choose another target name
exit /b 2
:err_tgtdir
echo Conversion failed: the target is a folder; give a file name
exit /b 4
:err_notdir
echo Conversion failed: the target folder "%QM_TGT_DIR%" does not exist
exit /b 4
:err_noff
echo ffmpeg.exe was looked for in "%QM_HOME%" and on PATH.
echo Conversion failed: ffmpeg.exe not found; put it beside qm.bat
exit /b 3
:err_ffbroken
call :cleanup
echo Conversion failed: ffmpeg.exe could not be run: "%QM_FF%" (damaged, or not a Windows program?)
exit /b 3
:err_nowrite
call :cleanup
echo Conversion failed: cannot create files in the target folder "%QM_TGT_DIR%" (read-only or no access?)
exit /b 4
:err_unreadable
rem An ffmpeg.exe that cannot run at all leaves no streams either: tell the two apart.
"%QM_FF%" -hide_banner -nostdin -version <nul >nul 2>&1
if errorlevel 1 goto :err_ffbroken
rem ffmpeg's last word on the source, e.g. "...: Invalid data found when processing input"
set "QM_WHY="
for /f "usebackq tokens=*" %%L in ("probe.txt") do if not "%%L"=="At least one output file must be specified" set "QM_WHY=%%L"
if defined QM_WHY set "QM_WHY=%QM_WHY:"='%"
if defined QM_WHY echo ffmpeg says: "%QM_WHY%"
call :cleanup
echo Conversion failed: ffmpeg cannot read the source as a recording (damaged or not a recording?)
exit /b 5
:err_empty
call :keeplog
call :cleanup
echo Conversion failed: no audio or video could be read from the source
exit /b 5
:err_ffmpeg
set "QM_WHY="
if exist errors.txt for /f "usebackq tokens=1,2,*" %%a in ("errors.txt") do if not "%%a %%b"=="Last message" if not "%%a %%b"=="Conversion failed!" set "QM_WHY=%%a %%b %%c"
if defined QM_WHY set "QM_WHY=%QM_WHY:"='%"
call :keeplog
call :cleanup
if defined QM_WHY echo Conversion failed: ffmpeg exit code %QM_RC%: "%QM_WHY%"
if not defined QM_WHY echo Conversion failed: ffmpeg exit code %QM_RC%
exit /b 5
:err_replace
call :keeplog
call :cleanup
echo Conversion failed: could not replace the target (open in another program or read-only?); it was left as it was
exit /b 4
