#include "platform/page_scheme.h"

#include <webkit2/webkit2.h>

#include "platform/linux/handles.h"
#include "platform/main_loop.h"

namespace platform {

namespace {

using handles::GObj;

GObj<WebKitURISchemeResponse> make_response(PageResponse response)
{
    GBytes* bytes = nullptr;
    if (auto* owned = std::get_if<std::vector<std::uint8_t>>(&response.body)) {
        // The vector moves to the heap and is freed with the bytes: no copy of a clip window.
        auto* kept = new std::vector<std::uint8_t>(std::move(*owned));
        bytes = g_bytes_new_with_free_func(kept->data(), kept->size(),
                                           [](gpointer p) { delete static_cast<std::vector<std::uint8_t>*>(p); }, kept);
    } else {
        auto view = std::get<std::span<std::uint8_t const>>(response.body);
        bytes = g_bytes_new_static(view.data(), view.size());
    }
    auto const length = static_cast<gint64>(g_bytes_get_size(bytes));
    GObj<GInputStream> stream(g_memory_input_stream_new_from_bytes(bytes));
    g_bytes_unref(bytes);
    GObj<WebKitURISchemeResponse> answer(webkit_uri_scheme_response_new(stream.get(), length));
    webkit_uri_scheme_response_set_status(answer.get(), static_cast<guint>(response.status), nullptr);
    SoupMessageHeaders* headers = soup_message_headers_new(SOUP_MESSAGE_HEADERS_RESPONSE);
    for (auto const& [name, value] : response.headers) {
        if (g_ascii_strcasecmp(name.c_str(), "Content-Type") == 0)
            webkit_uri_scheme_response_set_content_type(answer.get(), value.c_str());
        soup_message_headers_append(headers, name.c_str(), value.c_str());
    }
    // Without it WebKit refuses the page's own fetch of its scheme.
    soup_message_headers_replace(headers, "Access-Control-Allow-Origin", std::string(page_origin).c_str());
    webkit_uri_scheme_response_set_http_headers(answer.get(), headers); // takes the headers
    return answer;
}

// A request waiting for its answer. It is finished, and released, only on the main thread; dropped
// unanswered, it is finished with an error there.
class PendingRequest {
public:
    explicit PendingRequest(WebKitURISchemeRequest* request)
        : m_request(WEBKIT_URI_SCHEME_REQUEST(g_object_ref(request)))
    {
    }
    PendingRequest(PendingRequest const&) = delete;
    PendingRequest& operator=(PendingRequest const&) = delete;
    ~PendingRequest()
    {
        if (!m_request)
            return;
        invoke_on_main([request = m_request] {
            GError* error = g_error_new_literal(G_IO_ERROR, G_IO_ERROR_CANCELLED, "sans réponse");
            webkit_uri_scheme_request_finish_error(request, error);
            g_error_free(error);
            g_object_unref(request);
        });
    }

    void finish(PageResponse response)
    {
        auto* request = std::exchange(m_request, nullptr);
        auto boxed = std::make_shared<PageResponse>(std::move(response));
        invoke_on_main([request, boxed] {
            auto answer = make_response(std::move(*boxed));
            webkit_uri_scheme_request_finish_with_response(request, answer.get());
            g_object_unref(request);
        });
    }

private:
    WebKitURISchemeRequest* m_request;
};

std::vector<std::uint8_t> read_body(WebKitURISchemeRequest* request)
{
    std::vector<std::uint8_t> body;
    GObj<GInputStream> stream(webkit_uri_scheme_request_get_http_body(request));
    if (!stream)
        return body;
    std::uint8_t chunk[16384];
    for (;;) {
        gsize got = 0;
        if (!g_input_stream_read_all(stream.get(), chunk, sizeof chunk, &got, nullptr, nullptr))
            break;
        body.insert(body.end(), chunk, chunk + got);
        if (got < sizeof chunk)
            break;
    }
    return body;
}

void on_request(WebKitURISchemeRequest* request, gpointer data) noexcept
{
    auto const& handler = *static_cast<PageSchemeHandler const*>(data);
    try {
        PageRequest copy;
        char const* method = webkit_uri_scheme_request_get_http_method(request);
        copy.method = method ? method : "GET";
        copy.uri = webkit_uri_scheme_request_get_uri(request);
        if (SoupMessageHeaders* headers = webkit_uri_scheme_request_get_http_headers(request)) {
            SoupMessageHeadersIter iter;
            soup_message_headers_iter_init(&iter, headers);
            char const* name = nullptr;
            char const* value = nullptr;
            while (soup_message_headers_iter_next(&iter, &name, &value))
                copy.headers.emplace_back(name, value);
        }
        copy.body = read_body(request);
        auto pending = std::make_unique<PendingRequest>(request);
        handler(std::move(copy), [pending = std::move(pending)](PageResponse response) mutable {
            pending->finish(std::move(response));
        });
    } catch (...) {
        GError* error = g_error_new_literal(G_IO_ERROR, G_IO_ERROR_FAILED, "requête refusée");
        webkit_uri_scheme_request_finish_error(request, error);
        g_error_free(error);
    }
}

class WebKitPageView final : public PageView {
public:
    explicit WebKitPageView(WebKitWebView* view)
        : m_view(WEBKIT_WEB_VIEW(g_object_ref(view)))
    {
    }
    void run_script(std::string const& script) override
    {
        webkit_web_view_evaluate_javascript(m_view.get(), script.data(), static_cast<gssize>(script.size()), nullptr,
                                            nullptr, nullptr, nullptr, nullptr);
    }
    void call_script(std::string const& body, std::function<void()> done) override
    {
        webkit_web_view_call_async_javascript_function(
            m_view.get(), body.data(), static_cast<gssize>(body.size()), nullptr, nullptr, nullptr, nullptr,
            +[](GObject* source, GAsyncResult* result, gpointer data) noexcept {
                std::unique_ptr<std::function<void()>> done(static_cast<std::function<void()>*>(data));
                GError* error = nullptr;
                if (JSCValue* value = webkit_web_view_call_async_javascript_function_finish(WEBKIT_WEB_VIEW(source),
                                                                                             result, &error))
                    g_object_unref(value);
                if (error)
                    g_error_free(error);
                try {
                    if (*done)
                        (*done)();
                } catch (...) {
                }
            },
            new std::function<void()>(std::move(done)));
    }

private:
    GObj<WebKitWebView> m_view;
};

}

Result<void> register_page_scheme(_WebKitWebContext* context, PageSchemeHandler handler)
{
    if (!context)
        return fail("contexte web absent");
    std::string const scheme(page_scheme);
    webkit_web_context_register_uri_scheme(
        context, scheme.c_str(), on_request, new PageSchemeHandler(std::move(handler)),
        [](gpointer data) { delete static_cast<PageSchemeHandler*>(data); });
    WebKitSecurityManager* security = webkit_web_context_get_security_manager(context);
    webkit_security_manager_register_uri_scheme_as_secure(security, scheme.c_str());
    webkit_security_manager_register_uri_scheme_as_local(security, scheme.c_str());
    webkit_security_manager_register_uri_scheme_as_cors_enabled(security, scheme.c_str());
    return {};
}

std::unique_ptr<PageView> webkit_page_view(_WebKitWebView* view) { return std::make_unique<WebKitPageView>(view); }

}
