#include "storage/transfer_options.hpp"

namespace vorn {
namespace {

TransferOptions& options() {
  static TransferOptions current;
  return current;
}

thread_local std::atomic<int64_t>* threadCounter = nullptr;

}  // namespace

void setTransferOptions(const TransferOptions& value) { options() = value; }

const TransferOptions& transferOptions() { return options(); }

ScopedByteCounter::ScopedByteCounter(std::atomic<int64_t>* counter) { threadCounter = counter; }

ScopedByteCounter::~ScopedByteCounter() { threadCounter = nullptr; }

std::atomic<int64_t>* currentByteCounter() { return threadCounter; }

}  // namespace vorn
