/// @file
/// Which declarations the shared library exports.
#pragma once

/// Marks a declaration of the public API: the shared library, built with
/// hidden visibility by default, exports only what carries it.
#define QELSMS_EXPORT __attribute__((visibility("default")))

/// Keeps a member of an exported class out of the shared library's exports
/// (private helpers whose signatures name the library's internals).
#define QELSMS_NO_EXPORT __attribute__((visibility("hidden")))
