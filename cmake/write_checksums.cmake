# Writes FILE.sha1 and FILE.md5, the bare hex digest as Maven repositories
# hold it, beside each FILE of FILES ('|'-separated). Run as cmake -P.
string(REPLACE "|" ";" files "${FILES}")
foreach(file IN LISTS files)
  foreach(algorithm IN ITEMS SHA1 MD5)
    file(${algorithm} "${file}" digest)
    string(TOLOWER "${algorithm}" extension)
    file(WRITE "${file}.${extension}" "${digest}")
  endforeach()
endforeach()
