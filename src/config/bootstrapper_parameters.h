#pragma once

#include <nlohmann/json.hpp>

#include <memory>
#include <string>

namespace http {
class HttpSettings;
}

namespace config {

// The text after the last '-' of the executable's file name, up to its first blank, without
// white space; empty when the name has no '-'.
std::wstring IdentifierFromModuleName();
// The same rule applied to a given file name (with or without folders).
std::wstring IdentifierFromFileName(const std::wstring& path);

// GET of the parameter-storage prefix followed by the identifier; the parsed JSON answer.
nlohmann::ordered_json RequestBootstrapperParameters(const std::string& identifier, std::shared_ptr<http::HttpSettings> settings);

// On the first run on a machine: stores the identifier, asks the service and stores the links
// and the rest of its answer in the registry.
void FetchBootstrapperParameters(std::shared_ptr<http::HttpSettings> settings);

} // namespace config
