# Sanitizers apply to every target of the build, so that plug-ins loaded at run time match their host.
if(QW_SANITIZE)
  add_compile_options(-fsanitize=${QW_SANITIZE} -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=${QW_SANITIZE})
  if(QW_SANITIZE MATCHES "undefined")
    add_compile_options(-fno-sanitize-recover=undefined)
    # The stand-in headers spell the platform's _Nonnull marks as the nonnull attribute, so
    # that both compilers reject a literal NULL there. On the Mac such a call is not undefined,
    # and the driver's tests pass NULL on purpose to see it refused.
    add_compile_options(-fno-sanitize=nonnull-attribute)
  endif()
endif()
