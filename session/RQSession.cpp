// The exported members of RQSession. The class has no data: copying copies nothing.
#include "session/RQSession.h"

RQSession::RQSession() = default;
RQSession::RQSession(const RQSession&) {}
RQSession& RQSession::operator=(const RQSession&) { return *this; }
RQSession::~RQSession() = default;
