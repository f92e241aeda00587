#include "engine/foreground.h"

#include <algorithm>
#include <chrono>
#include <locale.h>
#include <thread>
#include <vector>
#include <wctype.h>

#include "base/utf8.h"
#include "platform/open_first.h"

namespace foreground {

namespace {

struct KnownRow {
    std::string_view stem;
    std::string_view name;
};

// Window classes of the desktop and the taskbar.
constexpr std::string_view ignored_window_classes[] = { "Progman", "WorkerW", "Shell_TrayWnd" };

// Executables that mean the desktop: the shell, system tools, overlays and this program itself.
constexpr std::string_view system_processes[] = {
    "dwm", "mmc", "sihost", "lockapp", "taskmgr", "regedit",
    "msiexec", "consent", "explorer", "searchui", "rundll32", "openwith",
    "quillmar", "searchhost", "nvcontainer", "snippingtool", "textinputhost", "gameoverlayui",
    "systemsettings", "screenclippinghost", "shellexperiencehost", "startmenuexperiencehost",
};

// Known games, searched in this order: the first row whose stem matches names the game.
constexpr KnownRow known_games[] = {
    { "cs2", "Counter-Strike 2" },
    { "csgo", "Counter-Strike 2" },
    { "valorant-win64-shipping", "VALORANT" },
    { "valorant", "VALORANT" },
    { "fortniteclient-win64-shipping", "Fortnite" },
    { "fortnite", "Fortnite" },
    { "r5apex", "Apex Legends" },
    { "r5apex_dx12", "Apex Legends" },
    { "league of legends", "League of Legends" },
    { "leagueclientux", "League of Legends" },
    { "rocketleague", "Rocket League" },
    { "overwatch", "Overwatch 2" },
    { "gta5", "GTA V" },
    { "gta5_enhanced", "GTA V" },
    { "gtav", "GTA V" },
    { "rainbowsix", "Rainbow Six Siege" },
    { "rainbowsix_be", "Rainbow Six Siege" },
    { "rainbowsix_dx11", "Rainbow Six Siege" },
    { "rainbowsix_vulkan", "Rainbow Six Siege" },
    { "destiny2", "Destiny 2" },
    { "eldenring", "ELDEN RING" },
    { "nightreign", "ELDEN RING NIGHTREIGN" },
    { "cod", "Call of Duty" },
    { "modernwarfare", "Call of Duty" },
    { "blackops", "Call of Duty" },
    { "tslgame", "PUBG" },
    { "fallguys_client_game", "Fall Guys" },
    { "rustclient", "Rust" },
    { "dota2", "Dota 2" },
    { "deadlock", "Deadlock" },
    { "tf_win64", "Team Fortress 2" },
    { "hl2", "Half-Life 2" },
    { "marvel-win64-shipping", "Marvel Rivals" },
    { "helldivers2", "Helldivers 2" },
    { "palworld-win64-shipping", "Palworld" },
    { "bf2042", "Battlefield 2042" },
    { "bf6", "Battlefield 6" },
    { "bfv", "Battlefield V" },
    { "starfield", "Starfield" },
    { "cyberpunk2077", "Cyberpunk 2077" },
    { "witcher3", "The Witcher 3" },
    { "wow", "World of Warcraft" },
    { "wowclassic", "World of Warcraft" },
    { "hearthstone", "Hearthstone" },
    { "diablo iv", "Diablo IV" },
    { "d4", "Diablo IV" },
    { "fc24", "EA Sports FC" },
    { "fc25", "EA Sports FC" },
    { "fc26", "EA Sports FC" },
    { "nba2k25", "NBA 2K" },
    { "nba2k26", "NBA 2K" },
    { "ffxiv_dx11", "Final Fantasy XIV" },
    { "genshinimpact", "Genshin Impact" },
    { "starrail", "Honkai: Star Rail" },
    { "zenlesszonezero", "Zenless Zone Zero" },
    { "client-win64-shipping", "Wuthering Waves" },
    { "escapefromtarkov", "Escape from Tarkov" },
    { "deadbydaylight-win64-shipping", "Dead by Daylight" },
    { "phasmophobia", "Phasmophobia" },
    { "lethal company", "Lethal Company" },
    { "among us", "Among Us" },
    { "terraria", "Terraria" },
    { "stardew valley", "Stardew Valley" },
    { "hogwartslegacy", "Hogwarts Legacy" },
    { "bg3", "Baldur's Gate 3" },
    { "bg3_dx11", "Baldur's Gate 3" },
    { "discovery", "THE FINALS" },
    { "xdefiant", "XDefiant" },
    { "haloinfinite", "Halo Infinite" },
    { "sotgame", "Sea of Thieves" },
    { "forzahorizon5", "Forza Horizon 5" },
    { "re4", "Resident Evil 4" },
    { "monsterhunterwilds", "Monster Hunter Wilds" },
    { "sekiro", "Sekiro" },
    { "armoredcore6", "Armored Core VI" },
    { "hades2", "Hades II" },
    { "hades", "Hades" },
    { "hollow_knight", "Hollow Knight" },
    { "hollow knight silksong", "Hollow Knight: Silksong" },
    { "celeste", "Celeste" },
    { "warframe.x64", "Warframe" },
    { "warframe", "Warframe" },
    { "pathofexile", "Path of Exile" },
    { "pathofexilesteam", "Path of Exile" },
    { "pathofexile_x64", "Path of Exile" },
    { "poe2", "Path of Exile 2" },
    { "smite", "SMITE" },
    { "brawlhalla", "Brawlhalla" },
    { "multiversus", "MultiVersus" },
    { "sf6", "Street Fighter 6" },
    { "tekken 8", "TEKKEN 8" },
    { "polaris-win64-shipping", "TEKKEN 8" },
    { "minecraft.windows", "Minecraft" },
    { "minecraftlauncher", "Minecraft" },
    { "roblox", "Roblox" },
    { "robloxplayerbeta", "Roblox" },
    { "osu!", "osu!" },
    { "geometrydash", "Geometry Dash" },
    { "trackmania", "Trackmania" },
    { "f1_25", "F1 25" },
};

// Known applications, same form: an application in front is never a game, even full screen.
constexpr KnownRow known_apps[] = {
    { "chrome", "Google Chrome" },
    { "msedge", "Microsoft Edge" },
    { "firefox", "Firefox" },
    { "brave", "Brave" },
    { "opera", "Opera" },
    { "opera_gx", "Opera GX" },
    { "vivaldi", "Vivaldi" },
    { "arc", "Arc" },
    { "zen", "Zen" },
    { "discord", "Discord" },
    { "discordptb", "Discord" },
    { "discordcanary", "Discord" },
    { "spotify", "Spotify" },
    { "code", "Visual Studio Code" },
    { "cursor", "Cursor" },
    { "devenv", "Visual Studio" },
    { "steam", "Steam" },
    { "steamwebhelper", "Steam" },
    { "epicgameslauncher", "Epic Games" },
    { "battle.net", "Battle.net" },
    { "riotclientux", "Riot Client" },
    { "riotclientservices", "Riot Client" },
    { "ubisoftconnect", "Ubisoft Connect" },
    { "upc", "Ubisoft Connect" },
    { "eadesktop", "EA app" },
    { "galaxyclient", "GOG Galaxy" },
    { "obs64", "OBS Studio" },
    { "medal", "Medal" },
    { "vlc", "VLC" },
    { "mpc-hc64", "MPC-HC" },
    { "notepad", "Bloc-notes" },
    { "notepad++", "Notepad++" },
    { "windowsterminal", "Terminal" },
    { "wt", "Terminal" },
    { "cmd", "Terminal" },
    { "powershell", "Terminal" },
    { "pwsh", "Terminal" },
    { "ms-teams", "Teams" },
    { "teams", "Teams" },
    { "slack", "Slack" },
    { "telegram", "Telegram" },
    { "whatsapp", "WhatsApp" },
    { "zoom", "Zoom" },
    { "outlook", "Outlook" },
    { "olk", "Outlook" },
    { "winword", "Word" },
    { "excel", "Excel" },
    { "powerpnt", "PowerPoint" },
    { "photoshop", "Photoshop" },
    { "blender", "Blender" },
    { "figma", "Figma" },
    { "unity", "Unity" },
};

// Build suffixes that say nothing about the name, cut in this order.
constexpr std::string_view exe_suffixes[] = {
    "-win64-shipping", "-win32-shipping", "-wingdk-shipping", "_dx12", "_dx11", "_vulkan",
    "_be", "-eac", "_x64", "_x86", "x64", "64",
};

// Native launchers carry the architecture or the packaging in their file name; the game is named without it.
constexpr std::string_view native_suffixes[] = { ".x86_64", ".x86", ".bin", ".sh", ".appimage" };

// The part of a title after one of these is a chapter, a document or a site, not the name.
constexpr std::string_view title_separators[] = { " (", " - ", " | ", " \u2014 ", " \u2013 ", " : " };
// Separators that make a title useless as a name for an ordinary window (" (" and " : " are common in names).
constexpr std::string_view window_title_separators[] = { " - ", " | ", " \u2014 ", " \u2013 " };

constexpr char32_t dropped_title_chars[] = { U'\u2122', U'\u00AE', U'\u00A9', U'*' };

// UTF-8 to code points; every byte that starts no valid sequence becomes U+FFFD.
std::u32string decode(std::string_view text)
{
    std::u32string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();)
        out.push_back(utf8::next(text, i));
    return out;
}

std::string encode(std::u32string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char32_t cp : text)
        utf8::append(out, cp);
    return out;
}

std::vector<std::u32string> split_words(std::u32string_view text)
{
    std::vector<std::u32string> words;
    std::u32string word;
    for (char32_t cp : text) {
        if (utf8::is_space(cp)) {
            if (!word.empty())
                words.push_back(std::move(word));
            word.clear();
        } else {
            word.push_back(cp);
        }
    }
    if (!word.empty())
        words.push_back(std::move(word));
    return words;
}

std::string join_words(std::vector<std::u32string> const& words)
{
    std::string out;
    for (auto const& word : words) {
        if (!out.empty())
            out.push_back(' ');
        out += encode(word);
    }
    return out;
}

// Case mapping must not follow the process locale (the player's, or "C" on a thread): the tables are matched
// the same way everywhere. The C.UTF-8 locale of the C library carries the Unicode simple case mappings.
locale_t unicode_locale()
{
    static locale_t const locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
    return locale;
}

char32_t lower_one(char32_t cp)
{
    if (cp < 0x80)
        return (cp >= 'A' && cp <= 'Z') ? cp + 32 : cp;
    auto locale = unicode_locale();
    return locale ? static_cast<char32_t>(towlower_l(static_cast<wint_t>(cp), locale)) : cp;
}

// Full upper case of one character: "ß" becomes "SS".
std::u32string upper_one(char32_t cp)
{
    if (cp < 0x80)
        return std::u32string(1, (cp >= 'a' && cp <= 'z') ? cp - 32 : cp);
    if (cp == U'\u00DF')
        return U"SS";
    auto locale = unicode_locale();
    return std::u32string(1, locale ? static_cast<char32_t>(towupper_l(static_cast<wint_t>(cp), locale)) : cp);
}

std::string lower(std::string_view text)
{
    auto points = decode(text);
    for (auto& cp : points)
        cp = lower_one(cp);
    return encode(points);
}

bool is_version_like(std::u32string_view word)
{
    if (!word.empty() && (word.front() == U'v' || word.front() == U'V'))
        word.remove_prefix(1);
    if (word.find(U'.') == std::u32string_view::npos)
        return false;
    return std::ranges::all_of(word, [](char32_t cp) {
        return cp == U'.' || (cp >= U'0' && cp <= U'9') || (cp >= U'a' && cp <= U'z') || (cp >= U'A' && cp <= U'Z');
    });
}

bool contains(std::span<std::string_view const> table, std::string_view value)
{
    return std::ranges::find(table, value) != table.end();
}

std::optional<std::string_view> lookup(std::span<KnownRow const> table, std::string_view stem)
{
    auto row = std::ranges::find(table, stem, &KnownRow::stem);
    if (row == table.end())
        return std::nullopt;
    return row->name;
}

bool ends_with(std::u32string_view text, std::string_view ascii_suffix)
{
    if (text.size() < ascii_suffix.size())
        return false;
    auto tail = text.substr(text.size() - ascii_suffix.size());
    return std::ranges::equal(tail, ascii_suffix, [](char32_t a, char b) { return a == static_cast<unsigned char>(b); });
}

}

ForegroundInfo desktop_entry()
{
    return { std::string(desktop_name), ForegroundKind::Desktop };
}

std::string clean_title(std::string_view title)
{
    std::string text;
    for (char32_t cp : decode(title)) {
        if (std::ranges::find(dropped_title_chars, cp) == std::end(dropped_title_chars))
            utf8::append(text, cp);
    }
    // Cutting at each separator in turn leaves the part before the earliest one of any kind.
    for (auto separator : title_separators) {
        auto at = text.find(separator);
        if (at != std::string::npos)
            text.resize(at);
    }
    auto words = split_words(decode(text));
    while (words.size() >= 2 && is_version_like(words.back()))
        words.pop_back();
    return join_words(words);
}

std::string clean_exe_name(std::string_view stem)
{
    auto name = decode(stem);
    for (auto suffix : exe_suffixes) {
        if (ends_with(name, suffix) && name.size() - suffix.size() >= 3)
            name.resize(name.size() - suffix.size());
    }
    for (auto& cp : name) {
        if (cp == U'-' || cp == U'.' || cp == U'_')
            cp = U' ';
    }
    auto words = split_words(name);
    for (auto& word : words) {
        auto first = upper_one(word.front());
        word.replace(0, 1, first);
    }
    auto joined = join_words(words);
    if (joined.empty())
        return std::string(desktop_name);
    return joined;
}

std::string exe_stem(std::string_view exe_name)
{
    if (exe_name.ends_with(".exe") || exe_name.ends_with(".EXE"))
        exe_name.remove_suffix(4);
    auto stem = lower(exe_name);
    for (bool cut = true; cut;) {
        cut = false;
        for (auto suffix : native_suffixes) {
            if (stem.size() > suffix.size() && stem.ends_with(suffix)) {
                stem.resize(stem.size() - suffix.size());
                cut = true;
            }
        }
    }
    return stem;
}

ForegroundInfo classify_window(std::optional<platform::WindowInfo> const& window)
{
    if (!window)
        return desktop_entry();
    // A desktop window covers its monitor and belongs to no table: without this it would count as a game
    // and keep capture running as long as the desktop is in front.
    if (window->ignored_type || contains(ignored_window_classes, window->window_class))
        return desktop_entry();

    auto const stem = exe_stem(window->exe_name);
    auto const cleaned = clean_title(window->title);
    bool const fullscreen = window->covers_monitor;

    if (stem.empty()) {
        if (fullscreen && !cleaned.empty())
            return { cleaned, ForegroundKind::Game };
        return desktop_entry();
    }
    if (contains(system_processes, stem))
        return desktop_entry();
    if ((stem == "java" || stem == "javaw") && lower(window->title).find("minecraft") != std::string::npos)
        return { "Minecraft", ForegroundKind::Game };
    if (auto name = lookup(known_games, stem))
        return { std::string(*name), ForegroundKind::Game };
    if (auto name = lookup(known_apps, stem))
        return { std::string(*name), ForegroundKind::App };
    if (stem == "applicationframehost") {
        if (cleaned.empty())
            return desktop_entry();
        return { cleaned, fullscreen ? ForegroundKind::Game : ForegroundKind::App };
    }
    if (fullscreen)
        return { cleaned.empty() ? clean_exe_name(stem) : cleaned, ForegroundKind::Game };
    bool const title_has_separator = std::ranges::any_of(window_title_separators, [&](std::string_view separator) {
        return window->title.find(separator) != std::string::npos;
    });
    if (title_has_separator || cleaned.empty())
        return { clean_exe_name(stem), ForegroundKind::App };
    return { cleaned, ForegroundKind::App };
}

ForegroundInfo detect_foreground_game(platform::ForegroundProbe& probe)
{
    return classify_window(probe.sample());
}

ForegroundInfo detect_once(std::span<platform::ForegroundDriver const> drivers)
{
    auto probe = opener_from(drivers)();
    if (!probe)
        return desktop_entry();
    return detect_foreground_game(**probe);
}

void append_sample(ForegroundHistory& history, ForegroundSample sample)
{
    history.with([&](std::deque<ForegroundSample>& samples) {
        auto const now = sample.time;
        samples.push_back(std::move(sample));
        while (!samples.empty() && now - samples.front().time > history_span_ticks)
            samples.pop_front();
    });
}

std::optional<std::int64_t> newest_game_time(ForegroundHistory const& history)
{
    return history.with([](std::deque<ForegroundSample> const& samples) -> std::optional<std::int64_t> {
        for (auto it = samples.rbegin(); it != samples.rend(); ++it) {
            if (it->kind == ForegroundKind::Game)
                return it->time;
        }
        return std::nullopt;
    });
}

std::string game_between(ForegroundHistory const& history, std::int64_t start, std::int64_t end,
                         std::function<ForegroundInfo()> const& detect_now)
{
    auto samples = history.copy();

    struct Tally {
        std::string_view name;
        ForegroundKind kind;
        std::size_t count;
        std::int64_t last;
    };
    std::vector<Tally> tallies;
    for (auto const& sample : samples) {
        if (sample.time < start || sample.time > end)
            continue;
        auto it = std::ranges::find_if(tallies, [&](Tally const& t) { return t.kind == sample.kind && t.name == sample.name; });
        if (it == tallies.end()) {
            tallies.push_back({ sample.name, sample.kind, 1, sample.time });
        } else {
            ++it->count;
            it->last = sample.time;
        }
    }
    if (tallies.empty())
        return detect_now ? detect_now().name : std::string(desktop_name);

    Tally const* best = &tallies.front();
    for (auto const& tally : tallies) {
        bool better = tally.kind != best->kind ? tally.kind > best->kind
            : tally.count != best->count      ? tally.count > best->count
                                              : tally.last > best->last;
        if (better)
            best = &tally;
    }
    return std::string(best->name);
}

ProbeOpener opener_from(std::span<platform::ForegroundDriver const> drivers)
{
    return [drivers] { return platform::open_first(drivers, "Aucune fenêtre à observer"); };
}

Pacing real_pacing()
{
    return {
        [] {
            auto since = std::chrono::steady_clock::now().time_since_epoch();
            return static_cast<std::int64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() / 100);
        },
        [] { std::this_thread::sleep_for(std::chrono::seconds(1)); },
    };
}

void foreground_thread(std::shared_ptr<ForegroundHistory> history, std::shared_ptr<std::atomic<bool>> stop,
                       ProbeOpener open_probe, Pacing pacing)
{
    std::unique_ptr<platform::ForegroundProbe> probe;
    while (!stop->load()) {
        auto const now = pacing.now();
        if (!probe) {
            if (auto opened = open_probe())
                probe = std::move(*opened);
        }
        auto info = probe ? detect_foreground_game(*probe) : desktop_entry();
        append_sample(*history, { now, std::move(info.name), info.kind });
        pacing.sleep();
    }
}

}
