# Japanese texts are kept in UTF-8 under src/app/ja/ and converted to Shift-JIS
# (code page 932) C string literals at build time.  KSF_SJIS_OUTPUTS lists the
# generated headers.
set(KSF_SJIS_OUTPUTS "")
