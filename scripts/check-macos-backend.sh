#!/usr/bin/env bash
# The macOS backend cannot be built here: there is no macOS SDK. This compiles every
# Objective-C++ file of it with clang, with automatic reference counting, blocks and the macOS
# Objective-C runtime, -Wall -Wextra -Werror, to an object file, against tests/apple_sdk/: the
# declarations, transcribed from Apple's reference, of exactly the Apple API that the backend
# uses. Then it shows that the check can fail: each of a few planted mistakes, in a copy of a
# file, must stop the compile with the expected diagnostic.
#
# What passes here type-checks against those declarations; it is neither linked nor run. The
# system's callbacks are optional protocol methods: a wrong parameter type in one is caught, a
# misspelled name is not (it compiles as a method of its own that the system never calls).
#
# Usage: scripts/check-macos-backend.sh
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
backend="$root/src/platform/screencapturekit"

if ! command -v clang++ >/dev/null; then
  sudo=()
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y --no-install-recommends clang
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

flags=(-x objective-c++ -std=c++20 -fobjc-arc -fblocks -fobjc-runtime=macosx-13.0
  -Wall -Wextra -Werror -ffp-contract=off
  -isystem "$root/tests/apple_sdk" -I "$root/src")

compile() {  # source object
  clang++ "${flags[@]}" -c "$1" -o "$2"
}

mapfile -t sources < <(find "$backend" -name '*.mm' | sort)
if [ ${#sources[@]} -eq 0 ]; then
  echo "no Objective-C++ files in $backend" >&2
  exit 1
fi
for source in "${sources[@]}"; do
  compile "$source" "$work/$(basename "$source").o"
  echo "compiles: ${source#"$root"/}"
done

# file | text in it | what replaces it | a diagnostic that must come
planted=(
  "screencapturekit_stream.mm|startCaptureWithCompletionHandler:|startCaptureWithHandler:|declares the selector 'startCaptureWithHandler:'"
  "screencapturekit_stream.mm|sampleHandlerQueue:queue.impl().dispatchQueue|sampleHandlerQueue:queue.impl().label|no viable conversion from 'std::string' (aka 'basic_string<char>') to 'dispatch_queue_t _Nullable'"
  "screencapturekit_stream.mm|^(NSError* _Nullable failure)|^(SCStream* _Nullable failure)|with an rvalue of type 'void (^)(SCStream * _Nullable __strong)'"
  "screencapturekit_stream.mm|didOutputSampleBuffer:(CMSampleBufferRef)|didOutputSampleBuffer:(CMBlockBufferRef)|conflicting parameter types in implementation of 'stream:didOutputSampleBuffer:ofType:'"
  "screencapturekit_stream.mm|delegate:delegateBridge_]|delegate:stream_]|sending 'SCStream *' to parameter of type 'id<SCStreamDelegate> _Nullable' [-Werror,-Wincompatible-pointer-types]"
  "screencapturekit_capture_service.mm|configuration.capturesAudio =|configuration.captureAudio =|property 'captureAudio' not found"
  "screencapturekit_capture_service.mm|initWithDisplay:content.displays[chosen.display]|initWithDisplay:content.applications[chosen.display]|cannot initialize a parameter of type 'SCDisplay * _Nonnull' with an rvalue of type 'SCRunningApplication *'"
  "core_media_sample_buffer.mm|size_t listSize = 0;|int listSize = 0;|no known conversion from 'int *' to 'size_t * _Nullable'"
  "dispatch.mm|impl_.get(), nullptr);|(void*)impl_->dispatchQueue, nullptr);|requires a bridged cast"
)
for entry in "${planted[@]}"; do
  IFS='|' read -r file original mistake expected <<<"$entry"
  copy="$work/planted-$file"
  "$root/scripts/replace_once.py" "$backend/$file" "$copy" "$original" "$mistake"
  if output=$(compile "$copy" "$work/planted.o" 2>&1); then
    echo "the check missed a planted mistake in $file: $original -> $mistake" >&2
    exit 1
  fi
  if ! grep -qF -- "$expected" <<<"$output"; then
    echo "a planted mistake in $file failed, but not with \"$expected\":" >&2
    echo "$output" >&2
    exit 1
  fi
  echo "catches: $file: $original -> $mistake"
done
