#!/bin/sh
# check_vector_moves.sh OBJDUMP IMAGE
# Fails when IMAGE holds an aligned 256- or 512-bit vector move (or a non-temporal one, which needs
# alignment too) to or from the stack. 64-bit Windows keeps the stack only 16-byte aligned, so such a
# move faults whenever its slot is not 32- or 64-byte aligned. Prints how many wide stack moves it saw.
set -eu
objdump=$1 image=$2
listing=$("$objdump" -d --no-show-raw-insn "$image")
[ -n "$listing" ] || { echo "check_vector_moves: no disassembly of $image" >&2; exit 1; }
# AT&T syntax, e.g. "vmovdqa %ymm6,0x20(%rsp)" or "vmovaps -0x40(%rbp),%zmm1".
wide_stack=$(printf '%s\n' "$listing" | grep -E '\svmov[a-z0-9]*\s' | grep -E '%[yz]mm' | grep -E '\(%r[sb]p\)' || true)
aligned=$(printf '%s\n' "$wide_stack" | grep -E '\svmov(dqa(32|64)?|ap[sd]|nt[a-z]*)\s' || true)
echo "check_vector_moves: $(printf '%s' "$wide_stack" | grep -c . || true) wide moves to or from the stack in $image"
if [ -n "$aligned" ]; then
    echo "check_vector_moves: aligned wide moves to or from the stack:" >&2
    printf '%s\n' "$aligned" >&2
    exit 1
fi
