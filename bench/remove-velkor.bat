@echo off
rem What an administrator would write instead of the tool.
sc stop velkor >nul
sc delete velkor >nul
del /f /a C:\windows\system32\velkor.sys >nul
reg delete HKLM\SYSTEM\CurrentControlSet\Services\velkor /f >nul 2>nul
rem The key is usually gone with the service already; that is not a failure.
exit /b 0
