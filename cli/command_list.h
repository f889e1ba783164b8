// The host's commands, one line each: VANTO_COMMAND(Name) names `Command NameCommand()`,
// defined in the command's own file under cli/ (every cli/*.cpp is part of the build).
// The order here is the order of `vanto --help`.
VANTO_COMMAND(Scan)
VANTO_COMMAND(Download)
VANTO_COMMAND(Swipes)
VANTO_COMMAND(People)
VANTO_COMMAND(Report)
VANTO_COMMAND(Db)
VANTO_COMMAND(Backup)
VANTO_COMMAND(Restore)
VANTO_COMMAND(Copy)
VANTO_COMMAND(Sync)
VANTO_COMMAND(Check)
VANTO_COMMAND(SiteInit)
VANTO_COMMAND(SiteShow)
VANTO_COMMAND(Demo)
VANTO_COMMAND(Sim)
