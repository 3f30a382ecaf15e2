# Makes the test-signed Windows package: ccid.sys with an embedded Authenticode signature
# (SHA-256) by a test certificate generated on first use, the INF, and the certificate in
# the DER form Windows imports. A test machine in test-signing mode loads the image once
# the certificate is in its Trusted Root and Trusted Publisher stores.
#   cmake -DOPENSSL=... -DOSSLSIGNCODE=... -DIMAGE=ccid.sys -DINF=ccid.inf
#         -DKEYS=<dir kept between builds> -DOUT=<package dir> -P TestSign.cmake
foreach(var OPENSSL OSSLSIGNCODE IMAGE INF KEYS OUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "TestSign.cmake: ${var} is not set")
  endif()
endforeach()

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT status EQUAL 0)
    list(GET ARGN 0 tool)
    message(FATAL_ERROR "${tool} failed (${status}):\n${out}")
  endif()
endfunction()

file(MAKE_DIRECTORY ${KEYS} ${OUT})
set(key ${KEYS}/ccid-test.key)
set(crt ${KEYS}/ccid-test.crt)
if(NOT EXISTS ${key} OR NOT EXISTS ${crt})
  run(${OPENSSL} req -x509 -newkey rsa:3072 -nodes -sha256 -days 3650
      -subj "/CN=ccid test signing (not for release)"
      -addext "keyUsage=critical,digitalSignature"
      -addext "extendedKeyUsage=codeSigning"
      -keyout ${key} -out ${crt})
endif()

# The signing time is SOURCE_DATE_EPOCH when set, so two builds sign alike.
set(time_args)
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(time_args -time $ENV{SOURCE_DATE_EPOCH})
endif()
file(REMOVE ${OUT}/ccid.sys)
run(${OSSLSIGNCODE} sign -certs ${crt} -key ${key} -h sha256 -n "USB CCID smart-card reader driver"
    ${time_args} -in ${IMAGE} -out ${OUT}/ccid.sys)
run(${OPENSSL} x509 -in ${crt} -outform der -out ${OUT}/ccid-test.cer)
# The key and certificate for signtool on the test machine (the catalog is made there):
# no password, and the 3DES/SHA-1 protection every signtool reads.
run(${OPENSSL} pkcs12 -export -inkey ${key} -in ${crt} -passout pass: -keypbe PBE-SHA1-3DES
    -certpbe PBE-SHA1-3DES -macalg sha1 -out ${OUT}/ccid-test.pfx)
file(COPY ${INF} DESTINATION ${OUT})
