@echo off
rem Stops and removes the NIVO service, run from an administrator's command prompt. The base
rem directory (configuration, logs, database) and the dead-entry keys stay; remove them by hand
rem when they are no longer wanted:
rem     reg delete "HKLM\SOFTWARE\Vantelor\Vantelor Tessaline" /f /reg:64
sc stop NIVO >nul 2>&1
sc delete NIVO || exit /b 1
echo uninstall: the NIVO service is removed
