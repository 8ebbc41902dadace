// The five tables. Each lists its texts in TextId order; a table shorter than
// the list leaves the rest null, which FindText reports and the tests catch.
#include "tray/TrayTexts.h"

#include <array>

namespace nimbora {

namespace {

using Table = std::array<const wchar_t*, kTextCount>;

constexpr Table kEnglish = {
    L"Nimbora memory",
    L"Nimbora service: %1",
    L"running",
    L"stopped",
    L"paused",
    L"starting",
    L"stopping",
    L"pausing",
    L"resuming",
    L"not installed",
    L"unknown (system error %1)",
    L"Available memory: %1 of %2 (%3 %)",
    L"Maintenance is due: the service would now start NimboraDefrag.exe to free %1.",
    L"No maintenance needed: %1 available, above the trigger level of %2.",
    L"Maintenance is due but held back by: %1.",
    L"The service is not running, so no maintenance takes place.",
    L"With these settings the service cannot compute a trigger level and does nothing.",
    L"the processor load",
    L"battery power",
    L"a full-screen program",
    L"maintenance switched off",
    L"the machine started less than 5 minutes ago",
    L"the least time between two runs",
    L"Available memory over the last 10 minutes",
    L"Trigger level",
    L"Last batches",
    L"Time",
    L"Asked",
    L"Freed",
    L"Outcome",
    L"goal met",
    L"partial",
    L"failed",
    L"nothing needed",
    L"skipped (full screen)",
    L"No batch recorded yet.",
    L"%1 MB",
    L"Settings",
    L"&Setting:",
    L"&Value:",
    L"&Apply",
    L"Current value: %1 (%2).",
    L"default",
    L"stored",
    L"stored with a wrong type, default used",
    L"Percent of physical memory: maintenance starts when available memory falls to this share or below. "
    L"0 never, 100 always.",
    L"Percent of physical memory to free in one run, in launches of at most 1024 MB each.",
    L"When on, no maintenance while the processor is busier than the processor trigger.",
    L"Highest processor load, in percent, at which maintenance may run.",
    L"When on, no maintenance while the machine runs on battery.",
    L"Set to 1 while a full-screen program is in the foreground.",
    L"When on, no maintenance while a full-screen program is in the foreground.",
    L"Least time between two runs, in minutes; 0 allows a run every second.",
    L"Maintenance is off when both this and DefragMemory are 0.",
    L"Maintenance is off when both this and LoadNimbora are 0.",
    L"Language of the service's name and description, applied when the service is installed.",
    L"Programs never trimmed, separated by semicolons (for example game.exe;teams.exe).",
    L"When on, also write modified memory to disk when trimming did not free enough; this can stall the disk "
    L"for seconds.",
    L"When on, also empty the low-priority standby cache; that cache is thrown away.",
    L"When on, also trim idle processes of Windows services; off, services are never trimmed.",
    L"Accepted: %1 to %2.",
    L"Accepted: %1 or more.",
    L"Accepted: 0 (off) or 1 (on).",
    L"Accepted: %1.",
    L"Accepted: any text.",
    L"%1 takes a whole number from %2 to %3; \"%4\" is not accepted.",
    L"%1 takes a whole number of %2 or more; \"%3\" is not accepted.",
    L"%1 takes 0 (off) or 1 (on); \"%2\" is not accepted.",
    L"%1 takes one of %2; \"%3\" is not accepted.",
    L"%1 cannot hold this text.",
    L"&Pause maintenance",
    L"&Resume maintenance",
    L"&Free memory now",
    L"Waiting for an administrator's approval\u2026",
    L"The administrator's approval was refused or cancelled; nothing was changed.",
    L"%1 could not be started (system error %2); nothing was changed.",
    L"%1 is now %2.",
    L"%1 ended with code %2.",
    L"Maintenance is paused until you resume it.",
    L"Maintenance has resumed.",
    L"Freeing %1\u2026",
    L"%1: freed %2 of %3 asked (%4).",
    L"%1 ended with code %2 and left no record.",
    L"Nimbora: %1 % of memory available",
    L"%1: freed %2",
    L"&Open",
    L"E&xit",
};

constexpr Table kFrench = {
    L"Nimbora \u2013 mémoire",
    L"Service Nimbora : %1",
    L"en cours d'exécution",
    L"arrêté",
    L"en pause",
    L"en cours de démarrage",
    L"en cours d'arrêt",
    L"mise en pause en cours",
    L"reprise en cours",
    L"non installé",
    L"état inconnu (erreur système %1)",
    L"Mémoire disponible : %1 sur %2 (%3 %)",
    L"Une maintenance est due : le service lancerait maintenant NimboraDefrag.exe pour libérer %1.",
    L"Aucune maintenance nécessaire : %1 disponibles, au-dessus du seuil de déclenchement de %2.",
    L"Une maintenance est due mais elle est retenue par : %1.",
    L"Le service ne fonctionne pas, aucune maintenance n'a donc lieu.",
    L"Avec ces réglages, le service ne peut pas calculer de seuil de déclenchement et ne fait rien.",
    L"la charge du processeur",
    L"le fonctionnement sur batterie",
    L"un programme en plein écran",
    L"la maintenance désactivée",
    L"le démarrage de la machine il y a moins de 5 minutes",
    L"le délai minimal entre deux passages",
    L"Mémoire disponible au cours des 10 dernières minutes",
    L"Seuil de déclenchement",
    L"Derniers passages",
    L"Heure",
    L"Demandé",
    L"Libéré",
    L"Résultat",
    L"objectif atteint",
    L"partiel",
    L"échec",
    L"rien à libérer",
    L"ignoré (plein écran)",
    L"Aucun passage enregistré pour l'instant.",
    L"%1 Mo",
    L"Réglages",
    L"Ré&glage :",
    L"&Valeur :",
    L"&Appliquer",
    L"Valeur actuelle : %1 (%2).",
    L"par défaut",
    L"enregistrée",
    L"enregistrée avec un mauvais type, valeur par défaut utilisée",
    L"Pourcentage de la mémoire physique : la maintenance commence quand la mémoire disponible tombe à cette "
    L"part ou en dessous. 0 jamais, 100 toujours.",
    L"Pourcentage de la mémoire physique à libérer en un passage, par lancements de 1024 Mo au plus.",
    L"Activé : pas de maintenance tant que le processeur est plus occupé que le seuil du processeur.",
    L"Charge maximale du processeur, en pourcentage, à laquelle la maintenance peut avoir lieu.",
    L"Activé : pas de maintenance tant que la machine fonctionne sur batterie.",
    L"Vaut 1 tant qu'un programme en plein écran est au premier plan.",
    L"Activé : pas de maintenance tant qu'un programme en plein écran est au premier plan.",
    L"Délai minimal entre deux passages, en minutes ; 0 permet un passage chaque seconde.",
    L"La maintenance est désactivée quand ce réglage et DefragMemory valent tous deux 0.",
    L"La maintenance est désactivée quand ce réglage et LoadNimbora valent tous deux 0.",
    L"Langue du nom et de la description du service, appliquée à l'installation du service.",
    L"Programmes jamais réduits, séparés par des points-virgules (par exemple game.exe;teams.exe).",
    L"Activé : écrit aussi la mémoire modifiée sur le disque quand la réduction n'a pas suffi ; cela peut "
    L"bloquer le disque quelques secondes.",
    L"Activé : vide aussi le cache en attente de basse priorité ; ce cache est perdu.",
    L"Activé : réduit aussi les processus inactifs des services Windows ; désactivé, les services ne sont "
    L"jamais réduits.",
    L"Valeurs acceptées : de %1 à %2.",
    L"Valeurs acceptées : %1 ou plus.",
    L"Valeurs acceptées : 0 (désactivé) ou 1 (activé).",
    L"Valeurs acceptées : %1.",
    L"Valeurs acceptées : tout texte.",
    L"%1 accepte un nombre entier de %2 à %3 ; « %4 » n'est pas accepté.",
    L"%1 accepte un nombre entier de %2 ou plus ; « %3 » n'est pas accepté.",
    L"%1 accepte 0 (désactivé) ou 1 (activé) ; « %2 » n'est pas accepté.",
    L"%1 accepte l'une de ces valeurs : %2 ; « %3 » n'est pas accepté.",
    L"%1 ne peut pas contenir ce texte.",
    L"Suspendre la &maintenance",
    L"&Reprendre la maintenance",
    L"&Libérer la mémoire maintenant",
    L"En attente de l'accord d'un administrateur\u2026",
    L"L'accord de l'administrateur a été refusé ou annulé ; rien n'a été modifié.",
    L"Impossible de lancer %1 (erreur système %2) ; rien n'a été modifié.",
    L"%1 vaut maintenant %2.",
    L"%1 s'est terminé avec le code %2.",
    L"La maintenance est suspendue jusqu'à ce que vous la repreniez.",
    L"La maintenance a repris.",
    L"Libération de %1\u2026",
    L"%1 : %2 libérés sur %3 demandés (%4).",
    L"%1 s'est terminé avec le code %2 sans laisser d'enregistrement.",
    L"Nimbora : %1 % de mémoire disponible",
    L"%1 : %2 libérés",
    L"&Ouvrir",
    L"&Quitter",
};

constexpr Table kKorean = {
    L"Nimbora 메모리",
    L"Nimbora 서비스: %1",
    L"실행 중",
    L"중지됨",
    L"일시 중지됨",
    L"시작하는 중",
    L"중지하는 중",
    L"일시 중지하는 중",
    L"다시 시작하는 중",
    L"설치되지 않음",
    L"알 수 없음(시스템 오류 %1)",
    L"사용 가능한 메모리: %2 중 %1(%3%)",
    L"유지 관리가 필요합니다. 서비스가 지금 NimboraDefrag.exe를 실행하여 메모리 %1을(를) 확보합니다.",
    L"유지 관리가 필요하지 않습니다. 사용 가능한 메모리 %1이(가) 트리거 수준 %2보다 많습니다.",
    L"유지 관리가 필요하지만 다음 때문에 보류되었습니다: %1.",
    L"서비스가 실행되고 있지 않으므로 유지 관리가 이루어지지 않습니다.",
    L"이 설정으로는 서비스가 트리거 수준을 계산할 수 없어 아무것도 하지 않습니다.",
    L"프로세서 부하",
    L"배터리 전원",
    L"전체 화면 프로그램",
    L"꺼진 유지 관리 설정",
    L"컴퓨터가 시작된 지 5분이 지나지 않음",
    L"두 실행 사이의 최소 간격",
    L"최근 10분 동안의 사용 가능한 메모리",
    L"트리거 수준",
    L"최근 실행",
    L"시간",
    L"요청",
    L"확보",
    L"결과",
    L"목표 달성",
    L"일부 확보",
    L"실패",
    L"필요 없음",
    L"건너뜀(전체 화면)",
    L"아직 기록된 실행이 없습니다.",
    L"%1MB",
    L"설정",
    L"설정(&S):",
    L"값(&V):",
    L"적용(&A)",
    L"현재 값: %1(%2).",
    L"기본값",
    L"저장됨",
    L"잘못된 형식으로 저장되어 기본값 사용",
    L"물리적 메모리의 백분율입니다. 사용 가능한 메모리가 이 비율 이하로 떨어지면 유지 관리를 시작합니다. "
    L"0은 안 함, 100은 항상입니다.",
    L"한 번 실행할 때 확보할 물리적 메모리의 백분율이며, 한 번에 최대 1024MB씩 실행합니다.",
    L"켜져 있으면 프로세서 부하가 프로세서 기준값보다 높은 동안 유지 관리를 하지 않습니다.",
    L"유지 관리를 실행할 수 있는 최대 프로세서 부하(백분율)입니다.",
    L"켜져 있으면 컴퓨터가 배터리로 작동하는 동안 유지 관리를 하지 않습니다.",
    L"전체 화면 프로그램이 앞에 있는 동안 1로 설정됩니다.",
    L"켜져 있으면 전체 화면 프로그램이 앞에 있는 동안 유지 관리를 하지 않습니다.",
    L"두 실행 사이의 최소 시간(분)입니다. 0이면 매초 실행할 수 있습니다.",
    L"이 값과 DefragMemory가 모두 0이면 유지 관리가 꺼집니다.",
    L"이 값과 LoadNimbora가 모두 0이면 유지 관리가 꺼집니다.",
    L"서비스 이름과 설명의 언어이며, 서비스를 설치할 때 적용됩니다.",
    L"메모리를 줄이지 않을 프로그램을 세미콜론으로 구분하여 입력합니다(예: game.exe;teams.exe).",
    L"켜져 있으면 줄이기로 충분히 확보하지 못했을 때 수정된 메모리도 디스크에 씁니다. 디스크가 몇 초간 "
    L"멈출 수 있습니다.",
    L"켜져 있으면 우선순위가 낮은 대기 캐시도 비웁니다. 해당 캐시는 버려집니다.",
    L"켜져 있으면 Windows 서비스의 유휴 프로세스도 메모리를 줄입니다. 꺼져 있으면 서비스는 줄이지 않습니다.",
    L"허용 값: %1~%2.",
    L"허용 값: %1 이상.",
    L"허용 값: 0(끔) 또는 1(켬).",
    L"허용 값: %1.",
    L"허용 값: 모든 텍스트.",
    L"%1에는 %2~%3 사이의 정수를 입력해야 합니다. \"%4\"은(는) 허용되지 않습니다.",
    L"%1에는 %2 이상의 정수를 입력해야 합니다. \"%3\"은(는) 허용되지 않습니다.",
    L"%1에는 0(끔) 또는 1(켬)을 입력해야 합니다. \"%2\"은(는) 허용되지 않습니다.",
    L"%1에는 %2 중 하나를 입력해야 합니다. \"%3\"은(는) 허용되지 않습니다.",
    L"%1에는 이 텍스트를 저장할 수 없습니다.",
    L"유지 관리 일시 중지(&P)",
    L"유지 관리 다시 시작(&R)",
    L"지금 메모리 확보(&F)",
    L"관리자 승인을 기다리는 중\u2026",
    L"관리자 승인이 거부되었거나 취소되어 아무것도 변경되지 않았습니다.",
    L"%1을(를) 시작할 수 없습니다(시스템 오류 %2). 아무것도 변경되지 않았습니다.",
    L"이제 %1 값은 %2입니다.",
    L"%1이(가) 코드 %2(으)로 끝났습니다.",
    L"다시 시작할 때까지 유지 관리가 일시 중지됩니다.",
    L"유지 관리가 다시 시작되었습니다.",
    L"%1 확보 중\u2026",
    L"%1: 요청한 %3 중 %2 확보(%4).",
    L"%1이(가) 코드 %2(으)로 끝났으며 기록을 남기지 않았습니다.",
    L"Nimbora: 사용 가능한 메모리 %1%",
    L"%1: %2 확보",
    L"열기(&O)",
    L"끝내기(&X)",
};

constexpr Table kPortuguese = {
    L"Nimbora \u2013 memória",
    L"Serviço Nimbora: %1",
    L"em execução",
    L"parado",
    L"pausado",
    L"iniciando",
    L"parando",
    L"pausando",
    L"retomando",
    L"não instalado",
    L"desconhecido (erro do sistema %1)",
    L"Memória disponível: %1 de %2 (%3 %)",
    L"A manutenção é necessária: o serviço iniciaria agora o NimboraDefrag.exe para liberar %1.",
    L"Nenhuma manutenção necessária: %1 disponíveis, acima do nível de disparo de %2.",
    L"A manutenção é necessária, mas está retida por: %1.",
    L"O serviço não está em execução, portanto nenhuma manutenção ocorre.",
    L"Com estas configurações o serviço não consegue calcular um nível de disparo e não faz nada.",
    L"a carga do processador",
    L"a alimentação por bateria",
    L"um programa em tela cheia",
    L"a manutenção desativada",
    L"a máquina ligada há menos de 5 minutos",
    L"o intervalo mínimo entre duas execuções",
    L"Memória disponível nos últimos 10 minutos",
    L"Nível de disparo",
    L"Últimas execuções",
    L"Hora",
    L"Pedido",
    L"Liberado",
    L"Resultado",
    L"meta atingida",
    L"parcial",
    L"falhou",
    L"nada a liberar",
    L"ignorado (tela cheia)",
    L"Nenhuma execução registrada ainda.",
    L"%1 MB",
    L"Configurações",
    L"&Configuração:",
    L"&Valor:",
    L"&Aplicar",
    L"Valor atual: %1 (%2).",
    L"padrão",
    L"armazenado",
    L"armazenado com tipo errado, padrão usado",
    L"Porcentagem da memória física: a manutenção começa quando a memória disponível cai para essa fração ou "
    L"abaixo. 0 nunca, 100 sempre.",
    L"Porcentagem da memória física a liberar em uma execução, em lançamentos de no máximo 1024 MB cada.",
    L"Quando ativado, nenhuma manutenção enquanto o processador estiver mais ocupado que o limite do processador.",
    L"Carga máxima do processador, em porcentagem, com a qual a manutenção pode ser executada.",
    L"Quando ativado, nenhuma manutenção enquanto a máquina estiver na bateria.",
    L"Vale 1 enquanto um programa em tela cheia estiver em primeiro plano.",
    L"Quando ativado, nenhuma manutenção enquanto um programa em tela cheia estiver em primeiro plano.",
    L"Tempo mínimo entre duas execuções, em minutos; 0 permite uma execução a cada segundo.",
    L"A manutenção fica desativada quando este valor e DefragMemory são ambos 0.",
    L"A manutenção fica desativada quando este valor e LoadNimbora são ambos 0.",
    L"Idioma do nome e da descrição do serviço, aplicado quando o serviço é instalado.",
    L"Programas nunca reduzidos, separados por ponto e vírgula (por exemplo game.exe;teams.exe).",
    L"Quando ativado, também grava a memória modificada no disco quando a redução não liberou o bastante; isso "
    L"pode travar o disco por segundos.",
    L"Quando ativado, também esvazia o cache em espera de baixa prioridade; esse cache é descartado.",
    L"Quando ativado, também reduz os processos ociosos dos serviços do Windows; desativado, os serviços nunca "
    L"são reduzidos.",
    L"Valores aceitos: de %1 a %2.",
    L"Valores aceitos: %1 ou mais.",
    L"Valores aceitos: 0 (desativado) ou 1 (ativado).",
    L"Valores aceitos: %1.",
    L"Valores aceitos: qualquer texto.",
    L"%1 aceita um número inteiro de %2 a %3; \"%4\" não é aceito.",
    L"%1 aceita um número inteiro de %2 ou mais; \"%3\" não é aceito.",
    L"%1 aceita 0 (desativado) ou 1 (ativado); \"%2\" não é aceito.",
    L"%1 aceita um destes valores: %2; \"%3\" não é aceito.",
    L"%1 não pode conter este texto.",
    L"&Pausar manutenção",
    L"&Retomar manutenção",
    L"&Liberar memória agora",
    L"Aguardando a aprovação de um administrador\u2026",
    L"A aprovação do administrador foi recusada ou cancelada; nada foi alterado.",
    L"Não foi possível iniciar %1 (erro do sistema %2); nada foi alterado.",
    L"%1 agora é %2.",
    L"%1 terminou com o código %2.",
    L"A manutenção está pausada até que você a retome.",
    L"A manutenção foi retomada.",
    L"Liberando %1\u2026",
    L"%1: liberados %2 de %3 pedidos (%4).",
    L"%1 terminou com o código %2 e não deixou registro.",
    L"Nimbora: %1 % de memória disponível",
    L"%1: %2 liberados",
    L"&Abrir",
    L"&Sair",
};

constexpr Table kRussian = {
    L"Nimbora \u2013 память",
    L"Служба Nimbora: %1",
    L"работает",
    L"остановлена",
    L"приостановлена",
    L"запускается",
    L"останавливается",
    L"приостанавливается",
    L"возобновляется",
    L"не установлена",
    L"неизвестно (системная ошибка %1)",
    L"Доступная память: %1 из %2 (%3 %)",
    L"Требуется обслуживание: служба сейчас запустила бы NimboraDefrag.exe, чтобы освободить %1.",
    L"Обслуживание не требуется: доступно %1, это выше порога срабатывания %2.",
    L"Требуется обслуживание, но ему мешает: %1.",
    L"Служба не работает, поэтому обслуживание не выполняется.",
    L"С этими настройками служба не может вычислить порог срабатывания и ничего не делает.",
    L"загрузка процессора",
    L"работа от батареи",
    L"полноэкранная программа",
    L"отключённое обслуживание",
    L"компьютер включён менее 5 минут назад",
    L"минимальный интервал между запусками",
    L"Доступная память за последние 10 минут",
    L"Порог срабатывания",
    L"Последние запуски",
    L"Время",
    L"Запрошено",
    L"Освобождено",
    L"Результат",
    L"цель достигнута",
    L"частично",
    L"сбой",
    L"не требовалось",
    L"пропущено (полный экран)",
    L"Запусков пока не записано.",
    L"%1 МБ",
    L"Настройки",
    L"&Параметр:",
    L"&Значение:",
    L"П&рименить",
    L"Текущее значение: %1 (%2).",
    L"по умолчанию",
    L"сохранено",
    L"сохранено с неверным типом, используется значение по умолчанию",
    L"Процент физической памяти: обслуживание начинается, когда доступная память падает до этой доли или ниже. "
    L"0 \u2014 никогда, 100 \u2014 всегда.",
    L"Процент физической памяти, освобождаемый за один запуск, порциями не более 1024 МБ.",
    L"Если включено, обслуживание не выполняется, пока загрузка процессора выше порога процессора.",
    L"Наибольшая загрузка процессора в процентах, при которой обслуживание может выполняться.",
    L"Если включено, обслуживание не выполняется, пока компьютер работает от батареи.",
    L"Равно 1, пока на переднем плане полноэкранная программа.",
    L"Если включено, обслуживание не выполняется, пока на переднем плане полноэкранная программа.",
    L"Наименьшее время между двумя запусками в минутах; 0 разрешает запуск каждую секунду.",
    L"Обслуживание отключено, когда этот параметр и DefragMemory оба равны 0.",
    L"Обслуживание отключено, когда этот параметр и LoadNimbora оба равны 0.",
    L"Язык имени и описания службы; применяется при установке службы.",
    L"Программы, память которых никогда не сжимается, через точку с запятой (например, game.exe;teams.exe).",
    L"Если включено и сжатия не хватило, изменённая память также записывается на диск; диск может быть занят "
    L"несколько секунд.",
    L"Если включено, также очищается низкоприоритетный резервный кэш; этот кэш теряется.",
    L"Если включено, сжимается также память простаивающих процессов служб Windows; если выключено, службы "
    L"никогда не затрагиваются.",
    L"Допустимо: от %1 до %2.",
    L"Допустимо: %1 или больше.",
    L"Допустимо: 0 (выкл.) или 1 (вкл.).",
    L"Допустимо: %1.",
    L"Допустимо: любой текст.",
    L"%1 принимает целое число от %2 до %3; «%4» не подходит.",
    L"%1 принимает целое число от %2 и больше; «%3» не подходит.",
    L"%1 принимает 0 (выкл.) или 1 (вкл.); «%2» не подходит.",
    L"%1 принимает одно из значений: %2; «%3» не подходит.",
    L"%1 не может содержать этот текст.",
    L"Прио&становить обслуживание",
    L"&Возобновить обслуживание",
    L"&Освободить память сейчас",
    L"Ожидание разрешения администратора\u2026",
    L"Разрешение администратора отклонено или отменено; ничего не изменено.",
    L"Не удалось запустить %1 (системная ошибка %2); ничего не изменено.",
    L"%1 теперь равно %2.",
    L"%1 завершился с кодом %2.",
    L"Обслуживание приостановлено до возобновления.",
    L"Обслуживание возобновлено.",
    L"Освобождение %1\u2026",
    L"%1: освобождено %2 из %3 запрошенных (%4).",
    L"%1 завершился с кодом %2 и не оставил записи.",
    L"Nimbora: доступно %1 % памяти",
    L"%1: освобождено %2",
    L"&Открыть",
    L"В&ыход",
};

constexpr const Table* kTables[kUiLanguageCount] = {&kEnglish, &kFrench, &kKorean, &kPortuguese, &kRussian};

// Primary language identifiers (the low 10 bits of a LANGID).
constexpr std::uint16_t kLangFrench = 0x0C;
constexpr std::uint16_t kLangKorean = 0x12;
constexpr std::uint16_t kLangPortuguese = 0x16;
constexpr std::uint16_t kLangRussian = 0x19;

}  // namespace

UiLanguage LanguageForLangId(std::uint16_t langId) {
    switch (langId & 0x3FF) {
        case kLangFrench: return UiLanguage::ulFrench;
        case kLangKorean: return UiLanguage::ulKorean;
        case kLangPortuguese: return UiLanguage::ulPortuguese;
        case kLangRussian: return UiLanguage::ulRussian;
    }
    return UiLanguage::ulEnglish;
}

const wchar_t* LanguageTableName(UiLanguage language) {
    switch (language) {
        case UiLanguage::ulEnglish: return L"english";
        case UiLanguage::ulFrench: return L"french";
        case UiLanguage::ulKorean: return L"korean";
        case UiLanguage::ulPortuguese: return L"prtbrzl";
        case UiLanguage::ulRussian: return L"russian";
    }
    return L"english";
}

const wchar_t* FindText(UiLanguage language, TextId id) noexcept {
    const auto table = static_cast<std::size_t>(language);
    const auto index = static_cast<std::size_t>(id);
    if (table >= kUiLanguageCount || index >= kTextCount) return nullptr;
    return (*kTables[table])[index];
}

const wchar_t* Text(UiLanguage language, TextId id) noexcept {
    const wchar_t* text = FindText(language, id);
    if (text == nullptr) text = FindText(UiLanguage::ulEnglish, id);
    return text != nullptr ? text : L"";
}

std::wstring FormatText(std::wstring_view pattern, std::initializer_list<std::wstring_view> arguments) {
    std::wstring text;
    text.reserve(pattern.size() + 32);
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        const wchar_t c = pattern[i];
        if (c != L'%' || i + 1 == pattern.size()) {
            text += c;
            continue;
        }
        const wchar_t next = pattern[i + 1];
        if (next == L'%') {
            text += L'%';
            ++i;
        } else if (next >= L'1' && next <= L'9') {
            const auto index = static_cast<std::size_t>(next - L'1');
            if (index < arguments.size()) text += *(arguments.begin() + index);
            ++i;
        } else {
            text += c;
        }
    }
    return text;
}

}  // namespace nimbora
