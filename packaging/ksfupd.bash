# bash completion for ksfupd
_ksfupd() {
  local cur prev
  cur=${COMP_WORDS[COMP_CWORD]}
  prev=${COMP_WORDS[COMP_CWORD - 1]}
  case $prev in
    --package)
      mapfile -t COMPREPLY < <(compgen -d -- "$cur")
      return
      ;;
    --device)
      # the sg nodes, the block nodes and the /dev/cdrom symlinks
      mapfile -t COMPREPLY < <(compgen -G "${cur:-/dev/}*" | grep -E '/(sg|sr)[0-9]+$|/cdrom[0-9]*$|/$')
      return
      ;;
    --lang)
      mapfile -t COMPREPLY < <(compgen -W 'en ja' -- "$cur")
      return
      ;;
  esac
  if [[ $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W '--package --device --list --dry-run --yes --json
      -v --verbose --lang --version -h --help' -- "$cur")
  else
    # the package folder as the positional argument
    mapfile -t COMPREPLY < <(compgen -d -- "$cur")
  fi
}
complete -F _ksfupd ksfupd
