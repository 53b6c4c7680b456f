# The headers installed under include/halvex, by path in the source tree:
# what a consumer includes (the throttling manager and its types, monitor
# start/stop and the policy interface, the platform focus) and the headers
# those include. Nothing else is installed; a header the public ones hold only
# by pointer is forward-declared there instead of listed here.
set(HX_PUBLIC_HEADERS
  perfmonitor/generic_resource_agent.h
  perfmonitor/hx_event.h
  perfmonitor/monitor_handle.h
  platform/ev_debug.h
  platform/hx_env.h
  platform/hx_error.h
  platform/hx_export.h
  platform/hx_mutex.h
  platform/hx_platform_info.h
  platform/hx_thread.h
  platform/thread_annotations.h
  platform/ua_file.h
  providers/perf_log_items.h
  providers/perf_provider.h
  providers/resource_agent_type.h
  throttling/fleet_share.h
  throttling/table_kinds.h
  throttling/throttling_manager.h
  throttling/throttling_types.h
  throttling/throughput_schedule.h
  throttling/tm_stats.h)

# The list must be closed: a listed header that includes an unlisted project
# header stops the configuration, naming both.
foreach(header IN LISTS HX_PUBLIC_HEADERS)
  file(STRINGS "${PROJECT_SOURCE_DIR}/${header}" lines REGEX "^[ \t]*#[ \t]*include[ \t]+\"")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]+\"([^\"]+)\".*" "\\1" inc "${line}")
    if(NOT inc IN_LIST HX_PUBLIC_HEADERS)
      message(FATAL_ERROR "public header ${header} includes \"${inc}\", which is not installed "
                          "(cmake/HxPublicHeaders.cmake)")
    endif()
  endforeach()
endforeach()
