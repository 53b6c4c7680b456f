#include "perfmonitor/hx_event.h"

#include <new>

HxEvent::HxEvent(bool manualReset) : event_(new (std::nothrow) HxEventH(manualReset)) {
  if (event_ == nullptr) throw "Not enough memory to initialize HxEvent";
}

HxEvent::~HxEvent() { delete event_; }

int HxEvent::wait(unsigned long milliseconds) { return event_->wait(milliseconds); }

void HxEvent::set() { event_->set(); }

HxCriticalSection::HxCriticalSection() : cs_(new (std::nothrow) HxCriticalSectionH()) {
  if (cs_ == nullptr) throw "Not enough memory to initialize HxCriticalSection";
}

HxCriticalSection::~HxCriticalSection() {
  delete cs_;
  cs_ = nullptr;
}

void HxCriticalSection::enter(bool wait) { cs_->enter(wait); }

void HxCriticalSection::leave() { cs_->leave(); }
