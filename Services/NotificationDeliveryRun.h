#pragma once
// The synchronisation run of NotificationDeliveryWorker and the machinery that
// keeps one run in flight: synchronize(), cancel() and run() (declared with the
// worker).
//
// A run, step by step: read and check the credential; open a worker session;
// when a badge function is given, read the badge, re-read the credential and
// apply it; then page: check cancellation, re-read the credential, request a
// page (with the cursor once there is one), validate it, re-read the
// credential, apply it (also when empty), check cancellation, acknowledge it,
// and follow "nextCursor" until it is null. A credential that differs from the
// first read stops the run before the next apply; an expired cursor after the
// first page ends it successfully; a cursor seen before ends it with response().
#include "Services/NotificationDeliveryWorker.h"
