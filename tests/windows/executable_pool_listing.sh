#!/bin/sh
# Seeded fault for CheckNxPool.cmake: the disassembly of the image with the first load of
# the non-executable pool type replaced by a zero (NonPagedPool, executable).
objdump="$1"
shift
"$objdump" "$@" | sed '0,/,%ecx .*<ExDefaultNonPagedPoolType>/s/mov .*,%ecx .*<ExDefaultNonPagedPoolType>/xor    %ecx,%ecx/'
