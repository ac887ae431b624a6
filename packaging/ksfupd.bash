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
      mapfile -t COMPREPLY < <(compgen -G "${cur:-/dev/sg}*")
      return
      ;;
    --lang)
      mapfile -t COMPREPLY < <(compgen -W 'en ja' -- "$cur")
      return
      ;;
  esac
  mapfile -t COMPREPLY < <(compgen -W '--package --device --list --dry-run --yes --json --lang --version --help' -- "$cur")
}
complete -F _ksfupd ksfupd
