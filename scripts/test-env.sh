# Environment shared by the test command and the demo: the Wine prefix and quiet Wine.
export WINEPREFIX=${WINEPREFIX:-/root/.wine-n2}
export WINEARCH=win32
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
