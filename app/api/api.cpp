#include "app/api/api.h"

#include "app/api/page_server.h"

namespace api {

ApiResult dispatch_api_method(App&, PageJob const&, std::string_view, nlohmann::json const&)
{
    // No method is served yet: every name is unknown.
    return std::unexpected(std::string("méthode inconnue"));
}

}
