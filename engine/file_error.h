// A file-system failure whose text is exactly its message: std::ios_base::failure,
// which the extension modules turn into OSError, adds the text of its error code
// (": iostream error") to what() otherwise. Callers end the message with the
// system's own reason.
#pragma once

#include <ios>
#include <string>

class FileError : public std::ios_base::failure {
public:
    explicit FileError(const std::string& message_) : std::ios_base::failure(message_), message(message_) {}
    const char* what() const noexcept override { return message.c_str(); }

private:
    std::string message;
};
