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

// The service's answer as JSON: null when it has more members than the program takes (then it
// is dropped as if it were absent). Throws for an answer nested too deeply and for one that is
// not one complete JSON text.
nlohmann::ordered_json ParseParameterAnswer(const std::string& body);

// While no identifier is stored (every run, as long as the file name gives none): stores the
// identifier, then asks the service and stores the links and the rest of its answer in the
// registry. A service that does not answer is not asked again once an identifier is stored.
void FetchBootstrapperParameters(std::shared_ptr<http::HttpSettings> settings);

} // namespace config
