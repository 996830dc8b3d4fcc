@echo off
rem qm.bat "<source>" "<target>"  -  turns a camera recording (.ksm) into an MP4.
rem qm.bat "<folder>"             -  every recording in it and its sub-folders, each beside itself,
rem                                   a camera's chapters joined (add --join-segments to join a
rem                                   dash cam's files that continue each other too).
rem
rem The work is done by qmconvert.exe beside this file (it runs the ffmpeg.exe that lies
rem beside it, checks the MP4 and prints the final line). This file only finds it and
rem hands on its exit code:
rem   0 done, 1 bad arguments, 2 source unusable or same file as target,
rem   3 ffmpeg.exe or qmconvert.exe missing or cannot run, 4 target folder or file problem,
rem   5 ffmpeg could not convert the recording (or the window that started it closed).
rem Nothing here reads stdin (the caller's command stream stays untouched), and delayed
rem expansion stays off (it would eat "!" in file names).

setlocal EnableExtensions DisableDelayedExpansion
if not exist "%~dp0qmconvert.exe" goto :noengine
"%~dp0qmconvert.exe" %*
set "QM_RC=%ERRORLEVEL%"
for %%c in (0 1 2 3 4 5) do if "%QM_RC%"=="%%c" exit /b %%c
rem 9009: cmd could not start it at all (blocked by Windows, or damaged).
if "%QM_RC%"=="9009" goto :engine_broken
echo Conversion failed: qmconvert.exe stopped unexpectedly (exit code %QM_RC%); if Windows blocked it, see README.txt
exit /b 3

:engine_broken
echo Conversion failed: qmconvert.exe could not be started (blocked by Windows or a virus scanner, or damaged?); see README.txt
exit /b 3

:noengine
echo Conversion failed: qmconvert.exe is missing - perhaps quarantined by a virus scanner; put it back beside qm.bat (see README.txt)
exit /b 3
