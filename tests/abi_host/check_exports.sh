#!/usr/bin/env bash
# The module's dynamic interface: exactly the two exported symbols, and the
# three host libraries linked dynamically (not copied in).
set -u
module=$1
status=0

defined=$(nm -D --defined-only "$module" | awk '{print $3}' | sort)
if [ "$defined" != "$(printf 'QEL_Info\nQEL_KorvexAction')" ]; then
  echo "FAIL: defined dynamic symbols are not exactly QEL_Info and QEL_KorvexAction:"
  echo "$defined"
  status=1
fi

needed=$(readelf -d "$module" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
for library in libVelmoraCore.so libVelmoraServices.so libfflink.so; do
  if ! grep -qx "$library" <<<"$needed"; then
    echo "FAIL: $library is not NEEDED"
    status=1
  fi
done

[ $status -eq 0 ] && echo "exports: QEL_Info, QEL_KorvexAction; host libraries NEEDED"
exit $status
