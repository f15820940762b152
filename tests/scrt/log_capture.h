// Captures the calling thread's ACE log records (priority, operation status, text) for the
// life of the object, instead of writing them to standard error.
#ifndef TESTS_SCRT_LOG_CAPTURE_H
#define TESTS_SCRT_LOG_CAPTURE_H

#include <ace/Log_Msg.h>
#include <ace/Log_Msg_Callback.h>
#include <ace/Log_Priority.h>
#include <ace/Log_Record.h>

#include <string>
#include <vector>

class Log_Capture : public ACE_Log_Msg_Callback
{
public:
  struct Record
  {
    ACE_Log_Priority priority;
    int status;
    std::string text;
  };

  Log_Capture()
  {
    ACE_Log_Msg* const log = ACE_Log_Msg::instance();
    old_flags_ = log->flags();
    old_callback_ = log->msg_callback(this);
    log->clr_flags(ACE_Log_Msg::STDERR | ACE_Log_Msg::OSTREAM | ACE_Log_Msg::SYSLOG);
    log->set_flags(ACE_Log_Msg::MSG_CALLBACK);
  }

  ~Log_Capture() override
  {
    ACE_Log_Msg* const log = ACE_Log_Msg::instance();
    log->clr_flags(ACE_Log_Msg::MSG_CALLBACK);
    log->set_flags(old_flags_);
    log->msg_callback(old_callback_);
  }

  void log(ACE_Log_Record& record) override
  {
    records.push_back(Record{static_cast<ACE_Log_Priority>(record.type()),
                             ACE_Log_Msg::instance()->op_status(), record.msg_data()});
  }

  /// The records whose text contains @a needle.
  std::vector<Record> matching(const std::string& needle) const
  {
    std::vector<Record> out;
    for (const Record& r : records)
      if (r.text.find(needle) != std::string::npos)
        out.push_back(r);
    return out;
  }

  std::vector<Record> records;

private:
  unsigned long old_flags_;
  ACE_Log_Msg_Callback* old_callback_;
};

#endif /* TESTS_SCRT_LOG_CAPTURE_H */
