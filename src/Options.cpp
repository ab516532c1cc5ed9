#include "Options.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "EditorAddress.h"

const char* const usageText =
    "usage: velvoria [OPTION]...\n"
    "Plays the production fullscreen at 1280x720 (32 bits per pixel); Escape ends it.\n"
    "\n"
    "  --windowed     a 1280x720 window with a title bar, resizable\n"
    "  --desktop      fullscreen at the desktop's own resolution, without a mode switch\n"
    "  --native       with --windowed, --desktop or --edit: render at the window's\n"
    "                 own size (the largest 16:9 picture in it, up to 3840x2160)\n"
    "                 instead of scaling the 1280x720 picture up\n"
    "  --display N    the monitor for the fullscreen modes (0 is the first)\n"
    "  --no-vsync     do not synchronise presentation to the display\n"
    "  --mute         no sound: the production plays in silence, the whole of it,\n"
    "                 in time on the wall clock\n"
    "  --audio-offset MS\n"
    "                 the sound reaches you MS milliseconds later than the sound\n"
    "                 system says (a TV, a projector, a wireless headset; negative\n"
    "                 when earlier, -1000 to 1000): the picture waits for it\n"
    "  --edit [HOST[:PORT]]\n"
    "                 editing mode, in a window: takes keys from the Rocket editor\n"
    "                 at HOST:PORT (localhost:1338), saves tracks when it asks;\n"
    "                 Space pauses, Left/Right a beat, Page Up/Down a bar, Home the\n"
    "                 start; shaders and tracks in Data/ reload as they change\n"
    "  --help         this text\n"
    "  --version      the version, then exit\n";

namespace {

bool parseIndex(const char* text, int& value) {
    if (!text || *text < '0' || *text > '9')
        return false;
    char* end = nullptr;
    errno = 0;
    long parsed = std::strtol(text, &end, 10);
    if (*end != 0 || errno == ERANGE || parsed > INT_MAX)
        return false;
    value = int(parsed);
    return true;
}

// Whole milliseconds within a second either way.
bool parseOffset(const char* text, int& value) {
    if (!text || !*text)
        return false;
    char* end = nullptr;
    errno = 0;
    long parsed = std::strtol(text, &end, 10);
    if (*end != 0 || errno == ERANGE || parsed < -1000 || parsed > 1000 || *text == ' ' || *text == '\t')
        return false;
    value = int(parsed);
    return true;
}

// A value as a message quotes it: a screenful of garbage is cut short.
std::string quoted(const char* value) {
    std::string text = value ? value : "";
    if (text.size() > 64)
        text = text.substr(0, 60) + "...";
    return "\"" + text + "\"";
}

}  // namespace

Options parseOptions(const Quib::List<Quib::String>& arguments) {
    Options options;
    for (int i = 0; i < arguments.count; ++i) {
        std::string arg = arguments[i].cStr() ? arguments[i].cStr() : "";
        if (arg == "--windowed") {
            options.mode = Options::Mode::Windowed;
        } else if (arg == "--desktop") {
            options.mode = Options::Mode::Desktop;
        } else if (arg == "--no-vsync") {
            options.vsync = false;
        } else if (arg == "--native") {
            options.native = true;
        } else if (arg == "--mute") {
            options.mute = true;
        } else if (arg == "--help") {
            options.help = true;
        } else if (arg == "--version") {
            options.version = true;
        } else if (arg == "--edit") {
            options.edit = true;
            // The address is optional: a following word that is not an option.
            if (i + 1 < arguments.count && arguments[i + 1].cStr() &&
                std::string(arguments[i + 1].cStr()).compare(0, 2, "--") != 0) {
                std::string address = arguments[++i].cStr();
                if (!parseEditorAddress(address, options.editorHost, options.editorPort)) {
                    options.error = "velvoria: --edit: " + quoted(address.c_str()) + " is not HOST[:PORT]";
                    break;
                }
            }
        } else if (arg == "--audio-offset") {
            if (i + 1 >= arguments.count) {
                options.error = "velvoria: --audio-offset needs a number of milliseconds";
                break;
            }
            const char* value = arguments[++i].cStr();
            if (!parseOffset(value, options.audioOffset)) {
                options.error = "velvoria: --audio-offset: " + quoted(value) +
                                " is not a whole number of milliseconds from -1000 to 1000";
                break;
            }
        } else if (arg == "--display") {
            if (i + 1 >= arguments.count) {
                options.error = "velvoria: --display needs a display number";
                break;
            }
            const char* value = arguments[++i].cStr();
            if (!parseIndex(value, options.display)) {
                options.error = "velvoria: --display: " + quoted(value) + " is not a display number";
                break;
            }
        }
    }
    if (options.error.empty() && options.native && options.mode == Options::Mode::Fullscreen && !options.edit)
        options.error = "velvoria: --native needs --windowed, --desktop or --edit";
    return options;
}
