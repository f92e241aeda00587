#pragma once
// The JSON API of the page: one method name and its parameters in, a value or the player's error text out.
// Runs on a page worker; methods reach the program only through the App.

#include <expected>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace api {

struct App;
struct PageJob;

using ApiResult = std::expected<nlohmann::json, std::string>;

ApiResult dispatch_api_method(App& app, PageJob const& job, std::string_view method, nlohmann::json const& params);

}
