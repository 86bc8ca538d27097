#!/bin/sh
# Fails when an include points outward: the engines (platform, play, record,
# settings) at a front end or a widget, platform at an engine, or one front end
# at another. The remote control is a library the window and the command line
# host, so they may include it; it never includes them. Usage: check_layers.sh <source-dir>
set -u
cd "$1" || exit 2
status=0

# forbid FOLDERS PATTERN WHY
forbid() {
    hits=$(grep -rnE --include='*.cpp' --include='*.h' "$2" $1 2>/dev/null)
    if [ -n "$hits" ]; then
        echo "$3:"
        echo "$hits"
        status=1
    fi
}

core="platform play record settings"
forbid "$core" '#include [<"](gui|cli|remote|app)/' "the engines include a front end"
forbid "$core" '#include <(Qt(Gui|Widgets|Charts|Svg)/|Q(Widget|Dialog|MessageBox|Application|Action|Label|Color|Icon|Pixmap|Image|Painter)\b)' \
    "the engines include Qt Gui or Widgets"
forbid "platform" '#include "(play|record|settings)/' "platform includes an engine"
forbid "cli" '#include "gui/' "the command line includes another front end"
forbid "gui" '#include "cli/' "the window includes another front end"
forbid "remote" '#include "(gui|cli|app)/' "the remote control includes a front end"
forbid "remote" '#include <(Qt(Gui|Widgets)/|Q(Widget|Dialog|Application|GuiApplication|Clipboard)\b)' "the remote control includes Qt Gui or Widgets"
[ $status -eq 0 ] && echo "layers hold"
exit $status
