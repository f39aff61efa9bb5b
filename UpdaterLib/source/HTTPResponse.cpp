#include "HTTPResponse.h"

HTTPResponse::HTTPResponse(char const* request_url) : request(request_url ? request_url : ""), status(0) {}
