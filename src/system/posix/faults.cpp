// Fault injection for tests (see layer.h).
//
// ZAQSYS_FAIL holds rules separated by commas, each CALL[@N][*K][=ERRNO]:
// the N-th call of CALL (counted from 1; default 1) and the K-1 calls after it
// (default K = 1) fail, with errno set to ERRNO (a number, or EACCES, ENOENT,
// EIO; default EIO). Example: "_stat@3,_unlink@1*3=EACCES".

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <mutex>
#include <string>
#include <vector>

#include "system/posix/layer.h"

namespace zaqsys {

namespace {

struct FaultRule {
  std::string call;
  long first = 1;
  long count = 1;
  int error = EIO;
  long seen = 0;  // calls of `call` so far
};

int ParseError(const std::string &text) {
  if (text == "EACCES") return EACCES;
  if (text == "ENOENT") return ENOENT;
  if (text == "EIO") return EIO;
  return atoi(text.c_str());
}

std::vector<FaultRule> ParseRules(const char *text) {
  std::vector<FaultRule> rules;
  std::string all = text != nullptr ? text : "";
  size_t start = 0;
  while (start < all.size()) {
    size_t end = all.find(',', start);
    if (end == std::string::npos) end = all.size();
    std::string rule = all.substr(start, end - start);
    start = end + 1;
    if (rule.empty()) continue;
    FaultRule parsed;
    size_t equals = rule.find('=');
    if (equals != std::string::npos) {
      parsed.error = ParseError(rule.substr(equals + 1));
      rule.resize(equals);
    }
    size_t star = rule.find('*');
    if (star != std::string::npos) {
      parsed.count = atol(rule.c_str() + star + 1);
      rule.resize(star);
    }
    size_t at = rule.find('@');
    if (at != std::string::npos) {
      parsed.first = atol(rule.c_str() + at + 1);
      rule.resize(at);
    }
    parsed.call = rule;
    rules.push_back(parsed);
  }
  return rules;
}

}  // namespace

bool InjectedFailure(const char *call, const char *path) {
  // Never destroyed: the worker may still make calls while the process ends.
  static std::mutex *lock = new std::mutex;
  static std::vector<FaultRule> *rules = new std::vector<FaultRule>(ParseRules(::getenv("ZAQSYS_FAIL")));
  std::lock_guard<std::mutex> hold(*lock);
  bool fail = false;
  int error = 0;
  for (FaultRule &rule : *rules) {
    if (rule.call != call) continue;
    long number = ++rule.seen;
    if (number >= rule.first && number < rule.first + rule.count) {
      fail = true;
      error = rule.error;
    }
  }
  if (fail) {
    if (path != nullptr) {
      Trace("%s \"%s\" -> injected failure, errno %d", call, path, error);
    } else {
      Trace("%s -> injected failure, errno %d", call, error);
    }
    errno = error;
  }
  return fail;
}

}  // namespace zaqsys
