#!/usr/bin/env bash
# The host finds the plug-in by seven plain names; they must be exported undecorated.
set -u
lib="$1"
symbols=$(nm -D --defined-only "$lib") || { echo "nm failed on $lib"; exit 1; }
status=0
for name in createPlugin getPluginName getPluginDescription getAuthor getHelpFile \
            getRegistrationOfGenericComponentLoader getGUIScript; do
  if ! printf '%s\n' "$symbols" | grep -qE " T ${name}\$"; then
    echo "missing plain-named export: $name"
    status=1
  fi
done
# Nothing of the core's internals may leak: only C exports and the plug-in class.
leaked=$(printf '%s\n' "$symbols" | awk '$2 == "T" {print $3}' | c++filt \
  | grep -vE '^(createPlugin|getPluginName|getPluginDescription|getAuthor|getHelpFile|getRegistrationOfGenericComponentLoader|getGUIScript|setThreadCount|setRandomSeed|getRandomSeed|getPassingVoxelCount)$' \
  | grep -vE '(^|::)(LDIPlugin|SYNAPluginInterface)(::|$)|^(static_intf::)?SYNAPluginInterface::|^LDIPlugin::|^_init$|^_fini$' || true)
if [ -n "$leaked" ]; then
  echo "unexpected exports:"; printf '%s\n' "$leaked"; status=1
fi
[ $status -eq 0 ] && echo "all seven plain-named exports present"
exit $status
