#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace quorna {

// The one failure type of the system's components: a 32-bit number, the source (component and
// operation) and a description. Components raise it; windows show or ignore it.
class ComponentError : public std::runtime_error {
public:
    ComponentError(std::int32_t number, std::string source, std::string description)
        : std::runtime_error(description),
          number_(number),
          source_(std::move(source)),
          description_(std::move(description)) {}

    std::int32_t number() const { return number_; }
    const std::string& source() const { return source_; }
    const std::string& description() const { return description_; }

private:
    std::int32_t number_;
    std::string source_;
    std::string description_;
};

}  // namespace quorna
