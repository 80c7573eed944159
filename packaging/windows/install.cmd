@echo off
rem Installs NIVO as a Windows service, run from an administrator's command prompt:
rem     install.cmd [BASE-DIRECTORY]
rem The base directory (default C:\Program Files\NIVO) receives nivo.exe and, where it has none
rem yet, the example configuration from beside this script; the logs, the database and the
rem pushed configuration go there too. The service starts at boot as LocalSystem.
setlocal
set "BASE=%~1"
if "%BASE%"=="" set "BASE=%ProgramFiles%\NIVO"
set "HERE=%~dp0"

if not exist "%HERE%nivo.exe" (
    echo install: nivo.exe is not beside this script
    exit /b 1
)
if not exist "%BASE%" mkdir "%BASE%" || exit /b 1
copy /y "%HERE%nivo.exe" "%BASE%\" >nul || exit /b 1
for %%f in ("%HERE%*.ini") do (
    if not exist "%BASE%\%%~nxf" copy "%%f" "%BASE%\" >nul
)

rem Where configuration pushes are written.
reg add "HKLM\SOFTWARE\Vantelor\Vantelor Tessaline" /v NIVOHome /t REG_SZ /d "%BASE%" /f /reg:64 >nul || exit /b 1

sc create NIVO binPath= "\"%BASE%\nivo.exe\"" start= auto type= own DisplayName= "NIVO" || exit /b 1
sc description NIVO "Tells the network's security appliances which user is logged on at which workstation." >nul
sc failure NIVO reset= 86400 actions= restart/60000 >nul
echo install: NIVO is installed in %BASE%; edit nivo.ini there, then: sc start NIVO
endlocal
