#include "Logging.h"

Q_LOGGING_CATEGORY(lcGraph, "orvelle.graph", QtInfoMsg)
Q_LOGGING_CATEGORY(lcTask, "orvelle.task", QtInfoMsg)
Q_LOGGING_CATEGORY(lcLogin, "orvelle.login", QtInfoMsg)
