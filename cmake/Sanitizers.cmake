# Sanitizers apply to every target of the build, so that plug-ins loaded at run time match their host.
if(QW_SANITIZE)
  add_compile_options(-fsanitize=${QW_SANITIZE} -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=${QW_SANITIZE})
  if(QW_SANITIZE MATCHES "undefined")
    add_compile_options(-fno-sanitize-recover=undefined)
  endif()
endif()
