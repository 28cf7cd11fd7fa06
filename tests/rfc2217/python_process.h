// Runs one of the Python helper scripts beside these tests with Debian's /usr/bin/python3
// (the one the python3-serial package installs into) and reads its output line by line,
// each read bounded by kPatience.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace vexcard::rfc2217_test {

class PythonProcess {
 public:
  // True when /usr/bin/python3 can import serial.rfc2217.
  static bool hasPyserial();

  // Starts script (a file name beside this header) with args; its output is piped here,
  // its error output goes to the test's.
  PythonProcess(const std::string& script, const std::vector<std::string>& args);
  ~PythonProcess();  // kills a script still running and reaps it
  PythonProcess(const PythonProcess&) = delete;
  PythonProcess& operator=(const PythonProcess&) = delete;

  bool started() const { return pid_ > 0; }
  // The next line of output; false at its end or after kPatience without one.
  bool readLine(std::string& line);
  // Reads lines until want comes (true) or the output ends (false).
  bool expectLine(const std::string& want);
  // Reads the rest of the output and returns the exit status (-1 when killed).
  int finish();
  // Every line read so far, for failure messages.
  const std::string& transcript() const { return transcript_; }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string buffer_;
  std::string transcript_;
};

}  // namespace vexcard::rfc2217_test
