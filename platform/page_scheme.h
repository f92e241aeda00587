#pragma once
// The private URL scheme "quillmar" of the web view, and script calls into its page.
//
// The view's engine calls the scheme handler on the main thread for every request of the scheme. The
// handler copies the request (method, URI still percent-encoded with its fragment, headers, body) and must
// return at once; the answer is given later, from any thread, through the one-shot finisher, which hands
// it back to the main thread. The scheme knows nothing of what it serves: the page server behind the
// handler does.

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "base/result.h"

struct _WebKitWebContext;
struct _WebKitWebView;

namespace platform {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// The value of the first header called `name`, compared without case (ASCII).
inline std::optional<std::string_view> find_header(HeaderList const& headers, std::string_view name)
{
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    for (auto const& [key, value] : headers) {
        if (key.size() == name.size() && std::equal(key.begin(), key.end(), name.begin(),
                                                    [&](char a, char b) { return lower(a) == lower(b); }))
            return std::string_view(value);
    }
    return std::nullopt;
}

struct PageRequest {
    std::string method;
    std::string uri; // as sent: still percent-encoded, query and fragment included
    HeaderList headers;
    std::vector<std::uint8_t> body;

    std::optional<std::string_view> header(std::string_view name) const { return find_header(headers, name); }
};

struct PageResponse {
    int status { 200 };
    HeaderList headers; // in the order they are sent
    // Constant bytes of the program (never copied), or bytes owned by the response.
    std::variant<std::span<std::uint8_t const>, std::vector<std::uint8_t>> body;

    std::span<std::uint8_t const> bytes() const
    {
        if (auto const* owned = std::get_if<std::vector<std::uint8_t>>(&body))
            return *owned;
        return std::get<std::span<std::uint8_t const>>(body);
    }
    std::optional<std::string_view> header(std::string_view name) const { return find_header(headers, name); }
};

// Called once with the answer, from any thread.
using PageFinisher = std::move_only_function<void(PageResponse)>;
// Called on the main thread for each request; never blocks.
using PageSchemeHandler = std::function<void(PageRequest, PageFinisher)>;

inline constexpr std::string_view page_scheme = "quillmar";
inline constexpr std::string_view page_origin = "quillmar://app";

// Registers "quillmar" on the context as secure, local and CORS-enabled, served by `handler`. Main thread,
// once per context.
Result<void> register_page_scheme(_WebKitWebContext* context, PageSchemeHandler handler);

// A view whose page receives script calls. Main thread only.
class PageView {
public:
    virtual ~PageView() = default;
    // Starts the script in the page and returns at once; its result and its errors are ignored.
    virtual void run_script(std::string const& script) = 0;
    // Runs `body` as the body of an async function in the page and returns at once; `done` runs once, on a
    // later turn of the main loop, when the function's promise settles or the call fails (no page, a script
    // error, the view gone). Its value is ignored. A page that never settles never calls `done`.
    virtual void call_script(std::string const& body, std::function<void()> done) = 0;
};

// The page of a WebKit view; the view is referenced, not owned, while the PageView lives.
std::unique_ptr<PageView> webkit_page_view(_WebKitWebView* view);

}
