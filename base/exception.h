// Errors that reach the user carry the name of their kind ("Exception",
// "EHttpException", ...) beside their message; message boxes show both.
#pragma once

#include <exception>
#include <string>

namespace n2 {

class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  virtual const char* KindName() const noexcept { return "Exception"; }
  const std::string& Message() const noexcept { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// Declares an error kind whose name is the class name.
#define N2_DECLARE_EXCEPTION(Name, Base)                                \
  class Name : public Base {                                            \
   public:                                                              \
    using Base::Base;                                                   \
    const char* KindName() const noexcept override { return #Name; }    \
  }

// File-system errors.
N2_DECLARE_EXCEPTION(EFOpenError, Exception);    // a file cannot be opened
N2_DECLARE_EXCEPTION(EFCreateError, Exception);  // a file cannot be created
N2_DECLARE_EXCEPTION(EReadError, Exception);     // reading a stream failed or came short
N2_DECLARE_EXCEPTION(EWriteError, Exception);    // writing a stream failed
N2_DECLARE_EXCEPTION(EInOutError, Exception);    // any other file-system failure

// The kind name of any error: ours give their own, the rest are named after
// the runtime errors they stand for.
const char* ErrorKindName(const std::exception& error) noexcept;

// text + kind name + CR LF + message: the body of every error message box.
std::string ErrorReport(const std::string& text, const std::exception& error);

}  // namespace n2
