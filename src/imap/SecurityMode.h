// How a connection is secured: TLS from the first byte, STARTTLS (required,
// or when offered), or never.
#pragma once

enum class SecurityMode { Auto, StartTls, Tls, None };
